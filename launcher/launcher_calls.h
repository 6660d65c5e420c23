// Every Win32 call of kestrum-run.exe that can fail or that a test must steer goes through this
// table: folders, its log, the job object, kestrum.exe's process, the clock and the pause. It
// defaults to the real calls.
#pragma once
#include <windows.h>

struct LauncherCalls {
    decltype(&::CreateDirectoryW) CreateDirectoryW;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::FindFirstFileW) FindFirstFileW;
    decltype(&::FindNextFileW) FindNextFileW;
    decltype(&::FindClose) FindClose;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::WriteFile) WriteFile;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetModuleFileNameW) GetModuleFileNameW;
    decltype(&::CreateJobObjectW) CreateJobObjectW;
    decltype(&::SetInformationJobObject) SetInformationJobObject;
    decltype(&::AssignProcessToJobObject) AssignProcessToJobObject;
    decltype(&::CreateProcessW) CreateProcessW;
    decltype(&::ResumeThread) ResumeThread;
    decltype(&::TerminateProcess) TerminateProcess;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::GetExitCodeProcess) GetExitCodeProcess;
    decltype(&::GetTickCount64) GetTickCount64;
    decltype(&::GetLocalTime) GetLocalTime;
    decltype(&::Sleep) Sleep;
    decltype(&::SetConsoleTitleW) SetConsoleTitleW;
};

extern LauncherCalls launcherCalls;

// The real calls, for a test to restore the table or to wrap them.
extern const LauncherCalls REAL_LAUNCHER_CALLS;
