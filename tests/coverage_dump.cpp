// Linked into kestrum.exe only in the coverage build (tools/coverage.sh). A MinGW program writes
// its coverage counts when it exits, and the tests always end kestrum.exe with TerminateProcess.
// Before that, tests/harness/harness.cpp sets the event Local\kestrum-coverage-<pid>; this thread,
// started before wmain, then writes the counts and sets Local\kestrum-coverage-<pid>-dumped.
// A named event rather than Ctrl+Break, which reaches only processes sharing the sender's
// console, and the tests start the server with CREATE_NO_WINDOW: it shares none with them.
// The thread prints nothing, so the server's log stays exactly what the tests expect.
#include <windows.h>

#include <string>

extern "C" void __gcov_dump(void);

namespace {

struct CoverageEvents {
    HANDLE dump;
    HANDLE dumped;
};

DWORD WINAPI DumpWhenAsked(LPVOID parameter)
{
    CoverageEvents* events = static_cast<CoverageEvents*>(parameter);
    if (WaitForSingleObject(events->dump, INFINITE) != WAIT_OBJECT_0) return 1;
    __gcov_dump();
    SetEvent(events->dumped);
    return 0;
}

bool StartDumpThread()
{
    static CoverageEvents events;
    std::wstring name = L"Local\\kestrum-coverage-" + std::to_wstring(GetCurrentProcessId());
    events.dump = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    events.dumped = CreateEventW(nullptr, TRUE, FALSE, (name + L"-dumped").c_str());
    if (events.dump == nullptr || events.dumped == nullptr) return false;
    HANDLE thread = CreateThread(nullptr, 0, DumpWhenAsked, &events, 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
    return true;
}

const bool dumpThreadStarted = StartDumpThread();

}  // namespace
