#include "server/listener.h"

#include "capture/capture_worker.h"
#include "platform/console.h"
#include "platform/system_calls.h"
#include "server/settings.h"

namespace {

// True when a printer is on the instance and is to be served.
bool WaitForPrinter(HANDLE pipe)
{
    if (systemCalls.ConnectNamedPipe(pipe, nullptr)) return true;
    DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    // API oddity: a printer that wrote a short job and closed before the wait began makes the
    // wait fail with ERROR_NO_DATA, yet its bytes are still in the pipe for ReadFile.
    DWORD bytesWaiting = 0;
    return error == ERROR_NO_DATA &&
           systemCalls.PeekNamedPipe(pipe, nullptr, 0, nullptr, &bytesWaiting, nullptr) && bytesWaiting > 0;
}

}  // namespace

int ListenLoop()
{
    // The first instance claims the name: a second server on the same name must fail, not
    // share the printers and overwrite its files.
    DWORD firstInstance = FILE_FLAG_FIRST_PIPE_INSTANCE;
    for (;;) {
        PrintWideMessage(L"\nKestrum: Awaiting next printer connection on %ls\n", captureSettings.pipeName);
        HANDLE pipe = systemCalls.CreateNamedPipeW(
            captureSettings.pipeName, PIPE_ACCESS_INBOUND | firstInstance, 0, PIPE_UNLIMITED_INSTANCES,
            PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            DWORD error = GetLastError();
            PrintWideMessage(L"CreateNamedPipe failed, GLE=%d.\n", static_cast<int>(error));
            return -1;
        }
        firstInstance = 0;

        if (!WaitForPrinter(pipe)) {
            systemCalls.CloseHandle(pipe);
            continue;
        }
        PrintMessage("Printer connected, creating a processing thread.\n");
        HANDLE thread = systemCalls.CreateThread(nullptr, 0, InstanceThread, pipe, 0, nullptr);
        if (thread == nullptr) {
            DWORD error = GetLastError();
            PrintWideMessage(L"CreateThread failed, GLE=%d.\n", static_cast<int>(error));
            systemCalls.CloseHandle(pipe);
            return -1;
        }
        // The instance belongs to the worker now.
        systemCalls.CloseHandle(thread);
    }
}
