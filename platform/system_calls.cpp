#include "platform/system_calls.h"

SystemCalls systemCalls = {
    ::CreateNamedPipeW, ::ConnectNamedPipe, ::PeekNamedPipe, ::DisconnectNamedPipe, ::CreateThread,
    ::CreateFileW,      ::ReadFile,         ::WriteFile,     ::CloseHandle,         ::HeapAlloc,
    ::HeapFree,         ::GetConsoleMode,   ::WriteConsoleW, ::SetConsoleMode,
};
