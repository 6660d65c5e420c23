#include "capture/capture_worker.h"

#include "capture/job_naming.h"
#include "platform/console.h"
#include "platform/system_calls.h"
#include "server/settings.h"

namespace {

const DWORD GAVE_UP = static_cast<DWORD>(-1);

// Releases what the worker holds, always in this order; the file and buffer may not exist yet.
void ReleaseJob(HANDLE pipe, HANDLE file, void* buffer)
{
    systemCalls.DisconnectNamedPipe(pipe);
    systemCalls.CloseHandle(pipe);
    if (file != INVALID_HANDLE_VALUE) systemCalls.CloseHandle(file);
    if (buffer != nullptr) systemCalls.HeapFree(GetProcessHeap(), 0, buffer);
}

}  // namespace

DWORD WINAPI InstanceThread(LPVOID pipeInstance)
{
    HANDLE pipe = static_cast<HANDLE>(pipeInstance);
    void* buffer = systemCalls.HeapAlloc(GetProcessHeap(), 0, TRANSFER_CHUNK);
    if (buffer == nullptr) {
        PrintMessage("\nERROR - Pipe Server Failure:\n");
        PrintMessage("   Kestrum thread got an unexpected NULL heap allocation. Thread exits\n");
        ReleaseJob(pipe, INVALID_HANDLE_VALUE, nullptr);
        return GAVE_UP;
    }

    int32_t jobNumber = NextJobNumber();
    wchar_t path[OUTPUT_NAME_CAPACITY];
    HANDLE file = INVALID_HANDLE_VALUE;
    // A number past what the template's path can hold has no file to name.
    DWORD error = ERROR_FILENAME_EXCED_RANGE;
    if (FormatOutputName(jobNumber, path)) {
        PrintWideMessage(L"InstanceThread created, writing to file %ls.\n", path);
        file = systemCalls.CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                       nullptr);
        error = GetLastError();
    }
    if (file == INVALID_HANDLE_VALUE) {
        PrintWideMessage(L"InstanceThread: File creation error, GLE=%d.  Thread exits\n",
                         static_cast<int>(error));
        ReleaseJob(pipe, INVALID_HANDLE_VALUE, buffer);
        return GAVE_UP;
    }

    bool readEnded;
    for (;;) {
        DWORD bytesRead = 0;
        if (!systemCalls.ReadFile(pipe, buffer, TRANSFER_CHUNK, &bytesRead, nullptr)) {
            error = GetLastError();
            readEnded = true;
            break;
        }
        // A read that succeeds with nothing is not the end of the job; only a broken pipe is.
        if (bytesRead == 0) continue;
        DWORD bytesWritten = 0;
        if (!systemCalls.WriteFile(file, buffer, bytesRead, &bytesWritten, nullptr) ||
            bytesWritten != bytesRead) {
            error = GetLastError();
            readEnded = false;
            break;
        }
        PrintMessage("Received %ld bytes.\n", static_cast<long>(bytesRead));
    }

    if (!readEnded) {
        PrintWideMessage(L"Kestrum thread WriteFile failed, GLE=%d.\n", static_cast<int>(error));
    } else if (error == ERROR_BROKEN_PIPE) {
        PrintWideMessage(L"Kestrum thread: printer disconnected.\n");
    } else {
        PrintWideMessage(L"Kestrum thread ReadFile failed, GLE=%d.\n", static_cast<int>(error));
    }
    ReleaseJob(pipe, file, buffer);
    PrintMessage("Kestrum thread exit.\n");
    return 1;
}
