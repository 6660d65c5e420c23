// The worker that serves one connected printer from start to end.
#pragma once
#include <windows.h>

// Bytes read from the pipe and written to the job file at a time.
constexpr DWORD TRANSFER_CHUNK = 32768;

// Thread routine. Takes ownership of the connected pipe instance passed as its argument:
// numbers the job, creates its file, copies every byte the printer sends into it, reports
// how the job ended and releases the instance, the file and the buffer. Returns 1 when the
// transfer ran, however it ended; (DWORD)-1 when it gave up before.
DWORD WINAPI InstanceThread(LPVOID pipeInstance);
