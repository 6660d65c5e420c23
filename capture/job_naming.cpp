#include "capture/job_naming.h"

#include "server/settings.h"

#include <atomic>

namespace {

std::atomic<int32_t> jobCounter{0};

const wchar_t* const REFUSED_CONVERSION = L"only %% and one %ld conversion are allowed";
const wchar_t* const SECOND_CONVERSION = L"only one %ld conversion is allowed";
const wchar_t* const FIELD_TOO_WIDE = L"its width or precision cannot fit a path";
const wchar_t* const PATH_TOO_LONG = L"the path of job 1 is longer than 259 characters";

// A path of OUTPUT_NAME_CAPACITY characters that refuses what does not fit.
struct PathWriter {
    wchar_t* path;
    int length;
    bool overflow;

    void Put(wchar_t character, int count = 1)
    {
        for (; count > 0; --count) {
            if (length >= OUTPUT_NAME_CAPACITY - 1) {
                overflow = true;
                return;
            }
            path[length++] = character;
        }
    }
};

bool IsDigit(wchar_t character) { return character >= L'0' && character <= L'9'; }

bool IsFlag(wchar_t character)
{
    return character == L'-' || character == L'+' || character == L' ' || character == L'#' ||
           character == L'0';
}

// Reads a width or precision; values above a path's length are clamped one past it.
int ReadCount(const wchar_t*& cursor)
{
    int count = 0;
    for (; IsDigit(*cursor); ++cursor) {
        if (count < OUTPUT_NAME_CAPACITY) count = count * 10 + (*cursor - L'0');
    }
    return count;
}

// The "%ld" conversion as printf defines it for these flags, width and precision.
void PutNumber(PathWriter& writer, long value, const wchar_t* flags, int width, int precision)
{
    bool leftAlign = false, plusSign = false, spaceSign = false, zeroPad = false;
    for (; IsFlag(*flags); ++flags) {
        leftAlign |= *flags == L'-';
        plusSign |= *flags == L'+';
        spaceSign |= *flags == L' ';
        zeroPad |= *flags == L'0';
    }
    wchar_t sign = value < 0 ? L'-' : plusSign ? L'+' : spaceSign ? L' ' : 0;
    unsigned long magnitude =
        value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    wchar_t digits[24];
    int digitCount = 0;
    for (; magnitude != 0; magnitude /= 10)
        digits[digitCount++] = static_cast<wchar_t>(L'0' + magnitude % 10);
    if (precision < 0 && digitCount == 0) digits[digitCount++] = L'0';

    int zeros = precision > digitCount ? precision - digitCount : 0;
    int fieldLength = (sign ? 1 : 0) + zeros + digitCount;
    if (zeroPad && !leftAlign && precision < 0 && width > fieldLength) {
        zeros += width - fieldLength;
        fieldLength = width;
    }
    int padding = width > fieldLength ? width - fieldLength : 0;
    if (!leftAlign) writer.Put(L' ', padding);
    if (sign) writer.Put(sign);
    writer.Put(L'0', zeros);
    while (digitCount > 0) writer.Put(digits[--digitCount]);
    if (leftAlign) writer.Put(L' ', padding);
}

// Walks the template once, checking it and writing the path of one job. Null or the reason.
const wchar_t* ExpandTemplate(const wchar_t* outputTemplate, long jobNumber, PathWriter& writer)
{
    bool converted = false;
    for (const wchar_t* cursor = outputTemplate; *cursor != 0; ++cursor) {
        if (*cursor != L'%') {
            writer.Put(*cursor);
            continue;
        }
        ++cursor;
        if (*cursor == L'%') {
            writer.Put(L'%');
            continue;
        }
        const wchar_t* flags = cursor;
        while (IsFlag(*cursor)) ++cursor;
        int width = ReadCount(cursor);
        int precision = -1;
        if (*cursor == L'.') {
            ++cursor;
            precision = ReadCount(cursor);
        }
        if (cursor[0] != L'l' || cursor[1] != L'd') return REFUSED_CONVERSION;
        ++cursor;
        if (converted) return SECOND_CONVERSION;
        if (width >= OUTPUT_NAME_CAPACITY || precision >= OUTPUT_NAME_CAPACITY) return FIELD_TOO_WIDE;
        converted = true;
        PutNumber(writer, jobNumber, flags, width, precision);
    }
    writer.path[writer.length] = 0;
    return nullptr;
}

}  // namespace

int32_t NextJobNumber() { return jobCounter.fetch_add(1) + 1; }

const wchar_t* CheckOutputTemplate(const wchar_t* outputTemplate)
{
    wchar_t path[OUTPUT_NAME_CAPACITY];
    PathWriter writer{path, 0, false};
    const wchar_t* reason = ExpandTemplate(outputTemplate, 1, writer);
    if (reason == nullptr && writer.overflow) reason = PATH_TOO_LONG;
    return reason;
}

bool FormatOutputName(int32_t jobNumber, wchar_t* path)
{
    PathWriter writer{path, 0, false};
    if (ExpandTemplate(captureSettings.outputTemplate, jobNumber, writer) == nullptr && !writer.overflow)
        return true;
    path[0] = 0;
    return false;
}
