#include "platform/system_calls.h"

const SystemCalls REAL_SYSTEM_CALLS = {
    ::CreateNamedPipeW, ::ConnectNamedPipe, ::PeekNamedPipe, ::DisconnectNamedPipe, ::CreateThread,
    ::CreateFileW,      ::ReadFile,         ::WriteFile,     ::CloseHandle,         ::HeapAlloc,
    ::HeapFree,         ::GetConsoleMode,   ::WriteConsoleW, ::SetConsoleMode,
};

SystemCalls systemCalls = REAL_SYSTEM_CALLS;
