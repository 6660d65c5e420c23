// The least code that does kestrum.exe's work, silently: the same pipe instances, a thread per
// printer, 32 KiB reads and one write per read into a numbered file. Built with DISCARD_READER
// it drops what it reads instead, which leaves only the cost of the pipe itself.
//   reference_server.exe PIPE FOLDER      jobs land in FOLDER\Out<n>.ps
//   discard_reader.exe PIPE
// Both run until they are killed; they exit with -1 when an instance or thread cannot be made.
#include <windows.h>

#include <cwchar>

namespace {

const DWORD TRANSFER_CHUNK = 32768;
const DWORD PIPE_BUFFER_SIZE = 16384;

const wchar_t* outputFolder = L".";
#ifndef DISCARD_READER
LONG jobCounter = 0;
#endif

DWORD WINAPI CopyJob(LPVOID instance)
{
    HANDLE pipe = static_cast<HANDLE>(instance);
    void* buffer = HeapAlloc(GetProcessHeap(), 0, TRANSFER_CHUNK);
    HANDLE file = INVALID_HANDLE_VALUE;
#ifndef DISCARD_READER
    wchar_t path[MAX_PATH];
    swprintf(path, MAX_PATH, L"%ls\\Out%ld.ps", outputFolder,
             static_cast<long>(InterlockedIncrement(&jobCounter)));
    file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
#endif
    {
        DWORD bytesRead = 0;
        while (buffer != nullptr && ReadFile(pipe, buffer, TRANSFER_CHUNK, &bytesRead, nullptr)) {
#ifndef DISCARD_READER
            DWORD bytesWritten = 0;
            if (!WriteFile(file, buffer, bytesRead, &bytesWritten, nullptr) || bytesWritten != bytesRead)
                break;
#endif
        }
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (buffer != nullptr) HeapFree(GetProcessHeap(), 0, buffer);
    return 0;
}

}  // namespace

int wmain(int argumentCount, wchar_t** arguments)
{
    if (argumentCount < 2) return 2;
    if (argumentCount > 2) outputFolder = arguments[2];
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(arguments[1], PIPE_ACCESS_INBOUND, 0, PIPE_UNLIMITED_INSTANCES,
                                       PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return -1;
        // Served the same way as kestrum.exe serves it, short jobs that closed early included.
        BOOL connected = ConnectNamedPipe(pipe, nullptr);
        DWORD error = connected ? ERROR_SUCCESS : GetLastError();
        DWORD bytesWaiting = 0;
        if (!connected && error != ERROR_PIPE_CONNECTED &&
            !(error == ERROR_NO_DATA && PeekNamedPipe(pipe, nullptr, 0, nullptr, &bytesWaiting, nullptr) &&
              bytesWaiting > 0)) {
            CloseHandle(pipe);
            continue;
        }
        HANDLE thread = CreateThread(nullptr, 0, CopyJob, pipe, 0, nullptr);
        if (thread == nullptr) return -1;
        CloseHandle(thread);
    }
}
