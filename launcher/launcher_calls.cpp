#include "launcher/launcher_calls.h"

const LauncherCalls REAL_LAUNCHER_CALLS = {
    ::CreateDirectoryW,
    ::GetFileAttributesW,
    ::FindFirstFileW,
    ::FindNextFileW,
    ::FindClose,
    ::CreateFileW,
    ::WriteFile,
    ::CloseHandle,
    ::GetModuleFileNameW,
    ::CreateJobObjectW,
    ::SetInformationJobObject,
    ::AssignProcessToJobObject,
    ::CreateProcessW,
    ::ResumeThread,
    ::TerminateProcess,
    ::WaitForSingleObject,
    ::GetExitCodeProcess,
    ::GetTickCount64,
    ::GetLocalTime,
    ::Sleep,
    ::SetConsoleTitleW,
};

LauncherCalls launcherCalls = REAL_LAUNCHER_CALLS;
