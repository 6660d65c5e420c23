// What kestrum.exe spends on each chunk beyond what the reference server spends: its
// "Received" message, formatted, then written whole by one call to standard output. Run it with
// standard output redirected to a file, as the benchmark runs the server:
//   message_cost.exe [CALLS] > FILE
// Prints to standard error the microseconds per call, each the median of nine batches of CALLS
// (16384 by default, the chunks of a 512 MiB job): formatting alone, the write of the formatted
// line alone, and the whole message as kestrum.exe prints it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/console.h"

namespace {

const int BATCHES = 9;
// Not a constant, so the compiler cannot format it in advance.
volatile long chunkBytes = 32768;

double Now()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename Call>
double MedianMicroseconds(int calls, Call call)
{
    double perCall[BATCHES];
    for (double& batch : perCall) {
        double started = Now();
        for (int done = 0; done < calls; ++done) call();
        batch = (Now() - started) * 1e6 / calls;
    }
    std::sort(perCall, perCall + BATCHES);
    return perCall[BATCHES / 2];
}

}  // namespace

int wmain(int argumentCount, wchar_t** arguments)
{
    int calls = argumentCount > 1 ? _wtoi(arguments[1]) : 16384;
    if (calls < 1) return 2;
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    char line[64];
    int length = 0;
    double format = MedianMicroseconds(
        calls, [&] { length = snprintf(line, sizeof line, "Received %ld bytes.\n", chunkBytes); });
    double write = MedianMicroseconds(calls, [&] {
        DWORD written = 0;
        WriteFile(output, line, static_cast<DWORD>(length), &written, nullptr);
    });
    double message = MedianMicroseconds(calls, [] { PrintMessage("Received %ld bytes.\n", chunkBytes); });
    fprintf(stderr, "format=%.3f write=%.3f message=%.3f\n", format, write, message);
    return 0;
}
