// Messages as a console and as a redirected standard output receive them: every character,
// whatever it takes in UTF-8 and whichever buffer its formatting needs; and QuickEdit turned off.
// A console is one only through the system-call table here; Wine gives tests none.
#include "platform/console.h"
#include "harness/call_override.h"
#include "harness/harness.h"
#include "platform/system_calls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const HANDLE CONSOLE = reinterpret_cast<HANDLE>(0x7770);

// Any message with a path: its length, not its words, decides which buffers it takes.
const wchar_t WITH_PATH[] = L"Writing to file %ls.\n";
const std::wstring BEFORE_PATH = L"Writing to file ", AFTER_PATH = L".\n";
const size_t SHORT_BUFFER = 512;  // characters the formatting holds before it takes the heap

// A path that makes the message `length` characters long.
std::wstring PathForMessageOf(size_t length)
{
    return L"D:\\" + std::wstring(length - BEFORE_PATH.size() - AFTER_PATH.size() - 3, L'p');
}

struct MessageCase {
    const char* name;
    std::wstring path;
    int failingAllocation;  // 0: memory suffices, and the message is printed
};

const MessageCase CASES[] = {
    {"plain", L"D:\\Qelmar\\Temp\\Out0001.ps", 0},
    {"250 CJK characters", L"D:\\" + std::wstring(250, L'\u6253') + L".ps", 0},
    {"a character beyond UTF-16's first plane", L"D:\\\U0001F5A8\U0001F5A8.ps", 0},
    {"one short of the short buffer", PathForMessageOf(SHORT_BUFFER - 1), 0},
    {"exactly the short buffer", PathForMessageOf(SHORT_BUFFER), 0},
    {"longer than its UTF-8 short buffer", PathForMessageOf(SHORT_BUFFER + 1), 0},
    {"too long for the memory left", PathForMessageOf(SHORT_BUFFER), 1},
    {"too long for the memory left for UTF-8", PathForMessageOf(SHORT_BUFFER + 1), 2},
};

void PrintTo(const MessageCase& messageCase, std::ostream* stream) { *stream << messageCase.name; }

// CONSOLE is a console, whose text is kept; the heap is watched, and its allocation numbered in
// the case fails, counted from the start and again once the output is the console.
class Message : public testing::TestWithParam<MessageCase> {
protected:
    void SetUp() override
    {
        calls_.Fake<&SystemCalls::GetConsoleMode>([](HANDLE handle, LPDWORD mode) {
            *mode = ENABLE_PROCESSED_OUTPUT;
            return handle == CONSOLE;
        });
        calls_.Fake<&SystemCalls::WriteConsoleW>(
            [this](HANDLE, const VOID* text, DWORD length, LPDWORD written, LPVOID) {
                console_.append(static_cast<const wchar_t*>(text), length);
                *written = length;
                return TRUE;
            });
        calls_.Watch<&SystemCalls::HeapFree>();
        calls_.Fail<&SystemCalls::HeapAlloc>(GetParam().failingAllocation, ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }

    std::wstring console_;  // what the console was handed
    CallOverride<SystemCalls> calls_{systemCalls};
};

TEST_P(Message, ArrivesWholeOnAConsoleAndRedirected)
{
    const MessageCase& given = GetParam();
    std::wstring message = BEFORE_PATH + given.path + AFTER_PATH;
    std::wstring expected = given.failingAllocation == 0 ? message : L"";
    {
        CapturedOutput redirected;
        // The second message finds memory again, and an output already known not to be a console.
        PrintWideMessage(WITH_PATH, given.path.c_str());
        PrintWideMessage(WITH_PATH, given.path.c_str());
        EXPECT_EQ(redirected.Text(), Utf8(expected + message));
        EXPECT_LE(calls_.Calls<&SystemCalls::GetConsoleMode>(), 1)
            << "GetConsoleMode asked again for the same output";
    }
    calls_.Fail<&SystemCalls::HeapAlloc>(given.failingAllocation, ERROR_NOT_ENOUGH_MEMORY, nullptr);
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, CONSOLE);
    PrintWideMessage(WITH_PATH, given.path.c_str());
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    // Only a long message needs the heap on a console: no UTF-8 is made there.
    if (given.failingAllocation != 1) expected = message;
    EXPECT_TRUE(console_ == expected) << console_.size() << " characters, not " << expected.size();
    int blocksTaken = calls_.Calls<&SystemCalls::HeapAlloc>() - calls_.Failures<&SystemCalls::HeapAlloc>();
    EXPECT_EQ(blocksTaken, calls_.Calls<&SystemCalls::HeapFree>()) << "heap blocks never freed";
}

// A click in the window must not hold the server's output, and with it every printer.
TEST(QuickEdit, IsTurnedOffOnAConsoleInputAndLeftAloneOtherwise)
{
    CallOverride<SystemCalls> calls(systemCalls);
    // A console's input modes with QuickEdit on; ENABLE_EXTENDED_FLAGS is off, so the call must set it.
    calls.Fake<&SystemCalls::GetConsoleMode>([](HANDLE handle, LPDWORD mode) {
        *mode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_MOUSE_INPUT |
                ENABLE_INSERT_MODE | ENABLE_QUICK_EDIT_MODE;
        return handle == CONSOLE;
    });
    std::vector<DWORD> modesSet;
    calls.Fake<&SystemCalls::SetConsoleMode>([&modesSet](HANDLE, DWORD mode) {
        modesSet.push_back(mode);
        return TRUE;
    });
    HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, CONSOLE);
    TurnOffQuickEdit();
    EXPECT_EQ(modesSet, std::vector<DWORD>{ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                           ENABLE_MOUSE_INPUT | ENABLE_INSERT_MODE | ENABLE_EXTENDED_FLAGS});
    SetStdHandle(STD_INPUT_HANDLE, saved);
    modesSet.clear();
    TurnOffQuickEdit();
    EXPECT_TRUE(modesSet.empty()) << "a redirected standard input had its mode set";
}

INSTANTIATE_TEST_SUITE_P(Messages, Message, testing::ValuesIn(CASES), CaseName());

}  // namespace
