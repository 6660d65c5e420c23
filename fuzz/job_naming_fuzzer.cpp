// Feeds arbitrary templates and job numbers to the template check and the output-name
// formatter, built natively with libFuzzer and the address and undefined-behaviour sanitizers.
// Input: 4 bytes of job number (little-endian), then the template as 16-bit units
// (little-endian), as a Windows command line would deliver it. The template is copied into
// an allocation of exactly its length and terminator, so any read past it is caught.
#include "capture/job_naming.h"
#include "server/settings.h"
#include "tests/harness/expected.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char* const REASONS[] = {ONLY_LD, ONE_LD, TOO_WIDE, TOO_LONG};

[[noreturn]] void Fail(const char* what, const wchar_t* outputTemplate, int32_t jobNumber)
{
    fprintf(stderr, "%s: job %d, template \"%ls\"\n", what, static_cast<int>(jobNumber), outputTemplate);
    abort();
}

bool IsReason(const wchar_t* reason)
{
    std::string text = Utf8(reason);
    for (const char* known : REASONS) {
        if (text == known) return true;
    }
    return false;
}

// Formats one job into an allocation of exactly OUTPUT_NAME_CAPACITY characters and checks
// it is terminated within it. Returns whether the formatter accepted.
bool FormatChecked(const wchar_t* outputTemplate, int32_t jobNumber, std::vector<wchar_t>& result)
{
    wchar_t* path = static_cast<wchar_t*>(malloc(OUTPUT_NAME_CAPACITY * sizeof(wchar_t)));
    wmemset(path, L'#', OUTPUT_NAME_CAPACITY);
    bool accepted = FormatOutputName(jobNumber, path);
    size_t length = 0;
    while (length < OUTPUT_NAME_CAPACITY && path[length] != 0) ++length;
    if (length == OUTPUT_NAME_CAPACITY)
        Fail("path not terminated within its capacity", outputTemplate, jobNumber);
    if (!accepted && length != 0) Fail("refused, yet the path is not empty", outputTemplate, jobNumber);
    result.assign(path, path + length);
    free(path);
    return accepted;
}

// What the C runtime makes of the template; false when that does not fit a path.
bool RuntimeFormatted(const wchar_t* outputTemplate, size_t templateLength, int32_t jobNumber,
                      std::vector<wchar_t>& result)
{
    // A width or precision is below 260 in an accepted template, so this always has room.
    std::vector<wchar_t> buffer(templateLength + 2 * OUTPUT_NAME_CAPACITY + 32);
    int length = swprintf(buffer.data(), buffer.size(), outputTemplate, static_cast<long>(jobNumber));
    if (length < 0) Fail("the runtime formatter failed on an accepted template", outputTemplate, jobNumber);
    if (length >= OUTPUT_NAME_CAPACITY) return false;
    result.assign(buffer.data(), buffer.data() + length);
    return true;
}

void CheckJob(const wchar_t* outputTemplate, size_t templateLength, int32_t jobNumber)
{
    std::vector<wchar_t> ours, theirs;
    bool accepted = FormatChecked(outputTemplate, jobNumber, ours);
    bool fits = RuntimeFormatted(outputTemplate, templateLength, jobNumber, theirs);
    if (accepted != fits)
        Fail(accepted ? "accepted a path that does not fit" : "refused a path that fits", outputTemplate,
             jobNumber);
    if (accepted && ours != theirs)
        Fail("path differs from the runtime formatter's", outputTemplate, jobNumber);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    uint32_t jobBits = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                       static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    int32_t jobNumber;
    memcpy(&jobNumber, &jobBits, sizeof jobNumber);
    // A command-line argument ends at its first null; the template is what comes before it.
    size_t units = (size - 4) / 2;
    size_t length = 0;
    while (length < units && (data[4 + 2 * length] | data[5 + 2 * length]) != 0) ++length;
    wchar_t* exact = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    for (size_t unit = 0; unit < length; ++unit)
        exact[unit] = static_cast<wchar_t>(data[4 + 2 * unit] | data[5 + 2 * unit] << 8);
    exact[length] = 0;

    captureSettings.outputTemplate = exact;
    const wchar_t* reason = CheckOutputTemplate(exact);
    if (reason != nullptr) {
        if (!IsReason(reason)) Fail("unknown reason", exact, jobNumber);
        std::vector<wchar_t> unused;
        // Only the length reason depends on the number; a template refused for its form
        // yields no path for any job.
        bool lengthOnly = Utf8(reason) == TOO_LONG;
        if (!lengthOnly && FormatChecked(exact, jobNumber, unused))
            Fail("formatted a path from a refused template", exact, jobNumber);
        if (lengthOnly && FormatChecked(exact, 1, unused))
            Fail("job 1 formatted though its path is too long", exact, 1);
    } else {
        std::vector<wchar_t> first;
        if (!FormatChecked(exact, 1, first)) Fail("accepted template refused for job 1", exact, 1);
        CheckJob(exact, length, 1);
        CheckJob(exact, length, jobNumber);
    }
    free(exact);
    return 0;
}
