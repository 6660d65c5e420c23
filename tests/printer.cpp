// A printer: opens the pipe and writes each file named on the command line to it as one job.
//   printer.exe PIPE FILE...
// Exit code 0 when every job was written whole. It waits up to 5 s for the pipe to take a job.
//   printer.exe --expected MESSAGE...
// Prints the server's messages as the tests expect them, for the shell checks: each MESSAGE is
// awaiting PIPE, pipe-refused CODE, created PATH, disconnected or thread-exit.
#include "harness/harness.h"

#include <cstdio>
#include <cwchar>

const DWORD OPEN_WAIT_MS = 5000;

int PrintExpected(int argumentCount, wchar_t** arguments)
{
    std::string text;
    for (int index = 2; index < argumentCount; ++index) {
        std::wstring message = arguments[index];
        const wchar_t* value = index + 1 < argumentCount ? arguments[index + 1] : nullptr;
        if (message == L"disconnected") {
            text += DISCONNECTED;
        } else if (message == L"thread-exit") {
            text += THREAD_EXIT;
        } else if (message == L"awaiting" && value != nullptr) {
            text += Awaiting(value);
            ++index;
        } else if (message == L"created" && value != nullptr) {
            text += Created(value);
            ++index;
        } else if (message == L"pipe-refused" && value != nullptr) {
            text += PipeRefused(wcstoul(value, nullptr, 10));
            ++index;
        } else {
            fwprintf(stderr, L"printer: no message %ls\n", message.c_str());
            return 2;
        }
    }
    // The bytes as they are: the runtime's text mode would turn each line break into two.
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
              nullptr);
    return 0;
}

int wmain(int argumentCount, wchar_t** arguments)
{
    if (argumentCount >= 2 && std::wstring(arguments[1]) == L"--expected")
        return PrintExpected(argumentCount, arguments);
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
