#include "platform/console.h"

#include "platform/system_calls.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

const int SHORT_MESSAGE = 512;

// The standard output last found not to be a console. Under Wine, GetConsoleMode on a file or
// pipe is a round trip to the wineserver; asked once per handle, a job's messages cost one
// write each.
std::atomic<HANDLE> redirectedOutput{nullptr};

void WriteBytes(HANDLE output, const char* bytes, int length)
{
    DWORD written = 0;
    WriteFile(output, bytes, static_cast<DWORD>(length), &written, nullptr);
}

void WriteWide(const wchar_t* text, int length)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output != redirectedOutput.load(std::memory_order_relaxed)) {
        if (systemCalls.GetConsoleMode(output, &mode)) {
            DWORD written = 0;
            systemCalls.WriteConsoleW(output, text, static_cast<DWORD>(length), &written, nullptr);
            return;
        }
        redirectedOutput.store(output, std::memory_order_relaxed);
    }
    // A UTF-16 unit never takes more than three UTF-8 bytes (a surrogate pair takes four).
    char shortBytes[3 * SHORT_MESSAGE];
    int capacity = 3 * length;
    char* bytes = capacity <= static_cast<int>(sizeof shortBytes)
                      ? shortBytes
                      : static_cast<char*>(systemCalls.HeapAlloc(GetProcessHeap(), 0, capacity));
    if (bytes == nullptr) return;
    int byteCount = WideCharToMultiByte(CP_UTF8, 0, text, length, bytes, capacity, nullptr, nullptr);
    WriteBytes(output, bytes, byteCount);
    if (bytes != shortBytes) systemCalls.HeapFree(GetProcessHeap(), 0, bytes);
}

}  // namespace

void PrintMessage(const char* format, ...)
{
    char text[SHORT_MESSAGE];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (length >= static_cast<int>(sizeof text)) length = sizeof text - 1;
    WriteBytes(GetStdHandle(STD_OUTPUT_HANDLE), text, length);
}

void PrintWideMessage(const wchar_t* format, ...)
{
    wchar_t shortText[SHORT_MESSAGE];
    va_list arguments;
    va_start(arguments, format);
    int length = vswprintf(shortText, SHORT_MESSAGE, format, arguments);
    va_end(arguments);
    // A text that does not fit gives -1 on Microsoft's runtime and the length it needs on
    // MinGW's, which then leaves the buffer cut short.
    if (length >= 0 && length < SHORT_MESSAGE) {
        WriteWide(shortText, length);
        return;
    }
    // Only a long pipe name or template gets here; the command line bounds both.
    const int longCapacity = 3 * 32768;
    wchar_t* longText =
        static_cast<wchar_t*>(systemCalls.HeapAlloc(GetProcessHeap(), 0, longCapacity * sizeof(wchar_t)));
    if (longText == nullptr) return;
    va_start(arguments, format);
    length = vswprintf(longText, longCapacity, format, arguments);
    va_end(arguments);
    if (length >= 0 && length < longCapacity) WriteWide(longText, length);
    systemCalls.HeapFree(GetProcessHeap(), 0, longText);
}

void TurnOffQuickEdit()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!systemCalls.GetConsoleMode(input, &mode)) return;
    // API oddity: QuickEdit is changed only when ENABLE_EXTENDED_FLAGS is set in the same call.
    systemCalls.SetConsoleMode(input,
                               (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
}
