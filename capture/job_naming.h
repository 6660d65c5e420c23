// Job numbers and output paths. Plain C++ with no Windows header, so that the same source
// also builds natively.
#pragma once
#include <cstdint>

// Characters of an output path, its terminator included.
constexpr int OUTPUT_NAME_CAPACITY = 260;

// The next job number of the run: 1, 2, 3, ... Safe to call from any number of threads.
int32_t NextJobNumber();

// Null when the template is acceptable, otherwise the reason it is refused. Acceptable is
// plain text, "%%", and at most one "%[flags][width][.precision]ld" with flags from "-+ #0",
// such that the path of job 1 fits OUTPUT_NAME_CAPACITY.
const wchar_t* CheckOutputTemplate(const wchar_t* outputTemplate);

// Formats the path of one job from the run's outputTemplate into path[OUTPUT_NAME_CAPACITY],
// as a wide printf would. False, with an empty path, when the template is refused or the
// path does not fit.
bool FormatOutputName(int32_t jobNumber, wchar_t* path);
