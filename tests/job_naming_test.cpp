#include "capture/job_naming.h"
#include "harness/expected.h"
#include "server/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring Formatted(const std::wstring& outputTemplate, int32_t jobNumber)
{
    wchar_t path[OUTPUT_NAME_CAPACITY];
    captureSettings.outputTemplate = outputTemplate.c_str();
    if (!FormatOutputName(jobNumber, path)) return L"<refused>";
    return path;
}

// What the C runtime's own formatter makes of the same template and number, refused where
// that does not fit a path.
std::wstring RuntimeFormatted(const std::wstring& outputTemplate, int32_t jobNumber)
{
    wchar_t path[1024];
    int length = swprintf(path, 1024, outputTemplate.c_str(), static_cast<long>(jobNumber));
    if (length < 0) return L"<runtime failed>";
    return length < OUTPUT_NAME_CAPACITY ? path : L"<refused>";
}

TEST(OutputName, DefaultTemplateNumbersWithAtLeastFourDigits)
{
    const wchar_t* defaultTemplate = L"D:\\Qelmar\\Temp\\Out%04ld.ps";
    EXPECT_EQ(Formatted(defaultTemplate, 1), L"D:\\Qelmar\\Temp\\Out0001.ps");
    EXPECT_EQ(Formatted(defaultTemplate, 42), L"D:\\Qelmar\\Temp\\Out0042.ps");
    EXPECT_EQ(Formatted(defaultTemplate, 9999), L"D:\\Qelmar\\Temp\\Out9999.ps");
    EXPECT_EQ(Formatted(defaultTemplate, 10000), L"D:\\Qelmar\\Temp\\Out10000.ps");
}

TEST(OutputName, MatchesTheRuntimeFormatterForEveryAcceptedFlagWidthAndPrecision)
{
    const wchar_t* templates[] = {
        L"Out%ld.ps", L"%04ld",     L"%-8ld|",  L"%+ld",      L"% ld",     L"%+ ld",        L"% +ld",
        L"%#ld",      L"%.6ld",     L"%.0ld",   L"%.ld",      L"%08.3ld",  L"%-08ld",       L"%0-8ld",
        L"%+08ld",    L"% 08ld",    L"%12.5ld", L"%-+12.5ld", L"%00004ld", L"100%% %ld %%", L"no conversion",
        L"%%ld",      L"a%%%ld%%b", L"%259ld",  L"%.259ld",
    };
    const int32_t jobNumbers[] = {0, 1, 7, 42, 9999, 10000, 123456789, -1, -42, INT32_MAX, INT32_MIN};
    for (const wchar_t* outputTemplate : templates) {
        ASSERT_EQ(CheckOutputTemplate(outputTemplate), nullptr) << Utf8(outputTemplate);
        for (int32_t jobNumber : jobNumbers) {
            EXPECT_EQ(Formatted(outputTemplate, jobNumber), RuntimeFormatted(outputTemplate, jobNumber))
                << Utf8(outputTemplate) << " with " << jobNumber;
        }
    }
}

TEST(OutputName, RefusesTemplatesThatCouldReadOrWriteWhatWasNeverPassed)
{
    for (const RefusedTemplate& refused : REFUSED_TEMPLATES) {
        const wchar_t* reason = CheckOutputTemplate(refused.outputTemplate.c_str());
        ASSERT_NE(reason, nullptr) << Utf8(refused.outputTemplate);
        EXPECT_EQ(Utf8(reason), refused.reason) << Utf8(refused.outputTemplate);
        EXPECT_EQ(Formatted(refused.outputTemplate, 1), L"<refused>");
    }
    const std::wstring exactlyFits(259 - 1, L'x');  // with job 1's single digit: 259
    EXPECT_EQ(CheckOutputTemplate((exactlyFits + L"%ld").c_str()), nullptr);
    EXPECT_EQ(CheckOutputTemplate(L""), nullptr);
}

TEST(OutputName, ALaterNumberThatNoLongerFitsGivesNoPath)
{
    const std::wstring outputTemplate = std::wstring(255, L'x') + L"%ld";
    EXPECT_EQ(CheckOutputTemplate(outputTemplate.c_str()), nullptr);
    EXPECT_EQ(Formatted(outputTemplate, 9999).size(), 259u);
    wchar_t path[OUTPUT_NAME_CAPACITY];
    std::fill(std::begin(path), std::end(path), L'?');
    captureSettings.outputTemplate = outputTemplate.c_str();
    EXPECT_FALSE(FormatOutputName(10000, path));
    EXPECT_EQ(path[0], L'\0');
}

TEST(JobNumber, ThreadsTakingNumbersAtOnceNeverShareOne)
{
    // The threads start together and take numbers side by side, round after round until they
    // have met often enough: a counter read and then written shares numbers within the first
    // thousands of meetings. A machine too busy to run them side by side only takes longer.
    const int threadCount = 4, numbersEach = 20000, meetingsWanted = 10000;
    int meetings = 0;
    for (int round = 0; round < 200 && meetings < meetingsWanted && !HasFailure(); ++round) {
        std::vector<std::vector<int32_t>> taken(threadCount);
        std::atomic<int> waiting{threadCount};
        std::vector<std::thread> threads;
        for (auto& numbers : taken) {
            threads.emplace_back([&numbers, &waiting] {
                numbers.reserve(numbersEach);
                for (--waiting; waiting > 0;) std::this_thread::yield();
                for (int index = 0; index < numbersEach; ++index) numbers.push_back(NextJobNumber());
            });
        }
        for (auto& thread : threads) thread.join();
        std::vector<int32_t> all;
        for (const auto& numbers : taken) {
            EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<int32_t>()),
                      numbers.end());
            for (size_t index = 1; index < numbers.size(); ++index)
                meetings += numbers[index] > numbers[index - 1] + 1;  // another thread took one between
            all.insert(all.end(), numbers.begin(), numbers.end());
        }
        std::sort(all.begin(), all.end());
        EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a number taken twice";
        EXPECT_EQ(all.back() - all.front() + 1, threadCount * numbersEach) << "numbers skipped";
        EXPECT_EQ(NextJobNumber(), all.back() + 1);
    }
}

}  // namespace
