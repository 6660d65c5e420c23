// A printer: opens the pipe and writes each file named on the command line to it as one job.
//   printer.exe PIPE FILE...
// Exit code 0 when every job was written whole. It waits up to 5 s for the pipe to take a job.
#include "harness/harness.h"

#include <cstdio>

const DWORD OPEN_WAIT_MS = 5000;

int wmain(int argumentCount, wchar_t** arguments)
{
    if (argumentCount < 3) {
        fwprintf(stderr, L"usage: printer PIPE FILE...\n");
        return 2;
    }
    for (int index = 2; index < argumentCount; ++index) {
        if (!FileExists(arguments[index])) {
            fwprintf(stderr, L"printer: cannot open %ls, GLE=%lu\n", arguments[index], GetLastError());
            return 1;
        }
        std::string job = ReadBytes(arguments[index]);
        size_t sent = SendJob(arguments[1], job, 65536, 0, OPEN_WAIT_MS);
        if (sent == NOT_OPENED) {
            fwprintf(stderr, L"printer: cannot open %ls, GLE=%lu\n", arguments[1], GetLastError());
            return 1;
        }
        if (sent != job.size()) {
            fwprintf(stderr, L"printer: job %ls cut short, GLE=%lu\n", arguments[index], GetLastError());
            return 1;
        }
    }
    return 0;
}
