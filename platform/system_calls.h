// Every Win32 call that can fail in the server goes through this table, so that a test can
// make any one of them fail with any error code, or see what it was asked (for a scope, through
// tests/harness/call_override.h). It holds the real calls. Messages to a redirected standard
// output call WriteFile directly, so that a test failing the job file's writes still reads
// every message.
#pragma once
#include <windows.h>

struct SystemCalls {
    decltype(&::CreateNamedPipeW) CreateNamedPipeW;
    decltype(&::ConnectNamedPipe) ConnectNamedPipe;
    decltype(&::PeekNamedPipe) PeekNamedPipe;
    decltype(&::DisconnectNamedPipe) DisconnectNamedPipe;
    decltype(&::CreateThread) CreateThread;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::HeapAlloc) HeapAlloc;
    decltype(&::HeapFree) HeapFree;
    decltype(&::GetConsoleMode) GetConsoleMode;
    decltype(&::WriteConsoleW) WriteConsoleW;
    decltype(&::SetConsoleMode) SetConsoleMode;
};

extern SystemCalls systemCalls;
