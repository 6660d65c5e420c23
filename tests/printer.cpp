// A printer: opens the pipe and writes each file named on the command line to it as one job.
//   printer.exe PIPE FILE...
// Exit code 0 when every job was written whole. It waits up to 5 s for the pipe to take a job.
#include <windows.h>

#include <cstdio>

const ULONGLONG OPEN_WAIT_MS = 5000;

int wmain(int argumentCount, wchar_t** arguments)
{
    if (argumentCount < 3) {
        fwprintf(stderr, L"usage: printer PIPE FILE...\n");
        return 2;
    }
    for (int index = 2; index < argumentCount; ++index) {
        HANDLE input =
            CreateFileW(arguments[index], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (input == INVALID_HANDLE_VALUE) {
            fwprintf(stderr, L"printer: cannot open %ls, GLE=%lu\n", arguments[index], GetLastError());
            return 1;
        }
        // As a spooler does, ride out a busy pipe and the moment between two of the server's
        // instances, when the name does not exist at all; give up after a few seconds.
        HANDLE pipe = INVALID_HANDLE_VALUE;
        ULONGLONG deadline = GetTickCount64() + OPEN_WAIT_MS;
        DWORD error = 0;
        while ((pipe = CreateFileW(arguments[1], GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) ==
               INVALID_HANDLE_VALUE) {
            error = GetLastError();
            if ((error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) || GetTickCount64() > deadline) {
                fwprintf(stderr, L"printer: cannot open %ls, GLE=%lu\n", arguments[1], error);
                return 1;
            }
            if (error == ERROR_PIPE_BUSY) {
                WaitNamedPipeW(arguments[1], 1000);
            } else {
                Sleep(20);
            }
        }
        static char chunk[65536];
        DWORD bytesRead = 0, bytesWritten = 0;
        bool whole = true;
        while (ReadFile(input, chunk, sizeof chunk, &bytesRead, nullptr) && bytesRead > 0) {
            if (!WriteFile(pipe, chunk, bytesRead, &bytesWritten, nullptr) || bytesWritten != bytesRead) {
                whole = false;
                break;
            }
        }
        CloseHandle(input);
        CloseHandle(pipe);
        if (!whole) {
            fwprintf(stderr, L"printer: job %ls cut short, GLE=%lu\n", arguments[index], GetLastError());
            return 1;
        }
    }
    return 0;
}
