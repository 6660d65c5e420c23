// A printer that stops in the middle of its job: writes the file to the pipe, then signals the
// named event and waits, with the pipe still open, to be killed.
//   holding_printer.exe PIPE FILE EVENT
// The event is set only once every WriteFile has returned whole. Exit code 1 when it could not
// get that far.
#include "harness/harness.h"

#include <cstdio>

int wmain(int argumentCount, wchar_t** arguments)
{
    if (argumentCount != 4) {
        fwprintf(stderr, L"usage: holding_printer PIPE FILE EVENT\n");
        return 2;
    }
    HANDLE written = OpenEventW(EVENT_MODIFY_STATE, FALSE, arguments[3]);
    HANDLE input =
        CreateFileW(arguments[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE pipe = OpenPrinter(arguments[1]);
    if (written == nullptr || input == INVALID_HANDLE_VALUE || pipe == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"holding_printer: cannot open its event, file or pipe, GLE=%lu\n", GetLastError());
        return 1;
    }
    static char chunk[65536];
    DWORD bytesRead = 0, bytesWritten = 0;
    while (ReadFile(input, chunk, sizeof chunk, &bytesRead, nullptr) && bytesRead > 0) {
        if (!WriteFile(pipe, chunk, bytesRead, &bytesWritten, nullptr) || bytesWritten != bytesRead) {
            fwprintf(stderr, L"holding_printer: write cut short, GLE=%lu\n", GetLastError());
            return 1;
        }
    }
    SetEvent(written);
    Sleep(INFINITE);
    return 0;
}
