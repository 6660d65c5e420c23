// The connection listener: serves the named pipe on the main thread.
#pragma once
#include <windows.h>

// Size of each of the pipe instance's own buffers.
constexpr DWORD PIPE_BUFFER_SIZE = 16384;

// Creates one pipe instance at a time, waits for a printer and hands the connected instance
// to a new worker thread. Returns -1, only when it can create no further instance or thread.
int ListenLoop();
