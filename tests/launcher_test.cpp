// kestrum-run.exe's decisions through its call table: the run folder it makes, what kestrum.exe is
// handed, when the next run starts and when the launcher ends, and each refusal's line and code.
// The folders and logs are real; kestrum.exe's process, the clock and the pause are the table's.
#include "launcher/launcher.h"
#include "harness/call_override.h"
#include "harness/harness.h"
#include "launcher/launcher_calls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const HANDLE FAKE_PROCESS = reinterpret_cast<HANDLE>(0x7710);
const HANDLE FAKE_THREAD = reinterpret_cast<HANDLE>(0x7714);
const std::string STAMP = "2026-12-10 14:03:07 ";

struct ServerRun {
    DWORD exitCode;
    ULONGLONG servedMs;
};
std::vector<ServerRun> serverRuns;  // what each kestrum.exe started does, in turn
size_t runsStarted;
std::vector<std::wstring> commandLines;
std::vector<DWORD> pauses;
ULONGLONG clockMs;
DWORD runFolderError;            // making a run folder fails with it, unless 0
std::wstring takenBeforeMaking;  // another launcher makes this folder just before this one tries

BOOL WINAPI FakeCreateProcess(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                              DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION process)
{
    commandLines.push_back(commandLine);
    process->hProcess = FAKE_PROCESS;
    process->hThread = FAKE_THREAD;
    return TRUE;
}
BOOL WINAPI FakeAssign(HANDLE, HANDLE) { return TRUE; }
DWORD WINAPI FakeResume(HANDLE) { return 1; }
// A run the test did not plan is refused at once, and shows in the test's log.
ServerRun ThisRun()
{
    return runsStarted < serverRuns.size() ? serverRuns[runsStarted] : ServerRun{SERVER_GAVE_UP, 0};
}
DWORD WINAPI FakeWait(HANDLE, DWORD)
{
    clockMs += ThisRun().servedMs;
    return WAIT_OBJECT_0;
}
BOOL WINAPI FakeExitCode(HANDLE, LPDWORD code)
{
    *code = ThisRun().exitCode;
    ++runsStarted;
    return TRUE;
}
ULONGLONG WINAPI FakeTicks() { return clockMs; }
VOID WINAPI FakeSleep(DWORD pauseMs)
{
    pauses.push_back(pauseMs);
    clockMs += pauseMs;
}
VOID WINAPI FixedTime(LPSYSTEMTIME now) { *now = {2026, 12, 4, 10, 14, 3, 7, 0}; }
BOOL WINAPI FakeClose(HANDLE handle)
{
    return handle == FAKE_PROCESS || handle == FAKE_THREAD || ::CloseHandle(handle);
}
BOOL WINAPI NoTitle(LPCWSTR) { return TRUE; }
BOOL WINAPI ContestedCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    if (path == takenBeforeMaking) ::CreateDirectoryW(path, nullptr);
    if (runFolderError != 0 && wcsstr(path, L"\\Run") != nullptr) {
        SetLastError(runFolderError);
        return FALSE;
    }
    return ::CreateDirectoryW(path, security);
}

std::string Stamped(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) text += STAMP + line;
    return text;
}

class Launcher : public testing::Test {
protected:
    void SetUp() override
    {
        serverRuns.clear();
        commandLines.clear();
        pauses.clear();
        runsStarted = 0;
        clockMs = 5000;
        runFolderError = 0;
        takenBeforeMaking.clear();
        calls_.Fake<&LauncherCalls::CreateProcessW>(FakeCreateProcess);
        calls_.Fake<&LauncherCalls::AssignProcessToJobObject>(FakeAssign);
        calls_.Fake<&LauncherCalls::ResumeThread>(FakeResume);
        calls_.Fake<&LauncherCalls::WaitForSingleObject>(FakeWait);
        calls_.Fake<&LauncherCalls::GetExitCodeProcess>(FakeExitCode);
        calls_.Fake<&LauncherCalls::GetTickCount64>(FakeTicks);
        calls_.Fake<&LauncherCalls::Sleep>(FakeSleep);
        calls_.Fake<&LauncherCalls::GetLocalTime>(FixedTime);
        calls_.Fake<&LauncherCalls::CloseHandle>(FakeClose);
        calls_.Fake<&LauncherCalls::SetConsoleTitleW>(NoTitle);
        calls_.Fake<&LauncherCalls::CreateDirectoryW>(ContestedCreateDirectory);
        folder_ = MakeTestFolder(L"kestrum-run-");
        // Every character cmd or the output template would take for its own.
        root_ = folder_ + L"\\Jobs 100% (a&b)^!=;, \u6253";
    }
    void TearDown() override { RemoveTree(folder_); }
    int Launch(std::vector<std::wstring> arguments)
    {
        arguments.insert(arguments.begin(), L"kestrum-run.exe");
        std::vector<wchar_t*> pointers;
        for (std::wstring& argument : arguments) pointers.push_back(&argument[0]);
        return RunLauncher(static_cast<int>(pointers.size()), pointers.data());
    }
    std::string LauncherLog() { return ReadBytes(root_ + L"\\kestrum-run.log"); }

    CallOverride<LauncherCalls> calls_{launcherCalls};
    std::wstring folder_, root_;
    CapturedOutput output_;
};

struct NumberCase {
    const char* name;
    std::vector<std::wstring> existing;
    std::wstring taken;  // made by another launcher between the look and the make
    std::wstring expected;
};

const NumberCase NUMBER_CASES[] = {
    {"none", {}, L"", L"Run0001"},
    {"gaps", {L"Run0003", L"Run0007"}, L"", L"Run0008"},
    {"foreign names",
     {L"Run0002", L"Run12", L"Run0005a", L"xRun0009", L"Jobs", L"Run0000000099"},
     L"",
     L"Run0003"},
    {"past four digits", {L"Run9999"}, L"", L"Run10000"},
    {"five digits", {L"Run10000", L"Run9999"}, L"", L"Run10001"},
    {"taken between look and make", {L"Run0001"}, L"Run0002", L"Run0003"},
};

class RunNumber : public Launcher, public testing::WithParamInterface<NumberCase> {};

TEST_P(RunNumber, IsOneMoreThanTheHighestAndNotTakenTwice)
{
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    for (const std::wstring& name : GetParam().existing)
        CreateDirectoryW((root_ + L"\\" + name).c_str(), nullptr);
    if (!GetParam().taken.empty()) takenBeforeMaking = root_ + L"\\" + GetParam().taken;
    std::wstring runFolder;
    ASSERT_EQ(MakeRunFolder(root_, &runFolder), 0u);
    EXPECT_EQ(runFolder, root_ + L"\\" + GetParam().expected);
    EXPECT_TRUE(FileExists(runFolder));
}

INSTANTIATE_TEST_SUITE_P(Folders, RunNumber, testing::ValuesIn(NUMBER_CASES), CaseName());

TEST_F(Launcher, HandsKestrumThePipeAndATemplateWithEveryPercentDoubled)
{
    serverRuns = {{SERVER_GAVE_UP, 300}};
    // A trailing backslash, on ROOT and on the pipe name: before a closing quote it must be doubled.
    EXPECT_EQ(Launch({root_ + L"\\", L"\\\\.\\pipe\\a \"b\\"}), -1);
    std::wstring server = ExeFolder() + L"\\kestrum.exe";
    std::wstring outputTemplate = folder_ + L"\\Jobs 100%% (a&b)^!=;, \u6253\\Run0001\\Out%04ld.ps";
    ASSERT_EQ(commandLines.size(), 1u);
    EXPECT_EQ(commandLines[0],
              L"\"" + server + L"\" \"\\\\.\\pipe\\a \\\"b\\\\\" \"" + outputTemplate + L"\"");
}

TEST_F(Launcher, TakesAQuotedRootEndingInABackslash)
{
    serverRuns = {{SERVER_GAVE_UP, 300}};
    // "ROOT\" as typed at a prompt or in a task's arguments, after the runtime has parsed it.
    EXPECT_EQ(Launch({root_ + L"\""}), -1);
    EXPECT_TRUE(FileExists(root_ + L"\\Run0001"));
}

TEST_F(Launcher, RestartsAfterAPauseThatGrowsWhileRunsEndSoon)
{
    serverRuns = {{1, 70000},
                  {1, 2000},
                  {SERVER_GAVE_UP, REFUSAL_WINDOW_MS},
                  {1, 0},
                  {1, 0},
                  {1, 0},
                  {1, 0},
                  {1, 0},
                  {0, LONG_RUN_MS},
                  {SERVER_GAVE_UP, 9999}};
    EXPECT_EQ(Launch({root_}), -1);
    EXPECT_EQ(pauses, (std::vector<DWORD>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 1000}));
    std::vector<std::string> lines;
    const unsigned long served[] = {70, 2, 10, 0, 0, 0, 0, 0, 60};
    for (int run = 1; run <= 10; ++run) {
        wchar_t name[16];
        swprintf(name, 16, L"\\Run%04d", run);
        std::wstring runFolder = root_ + name;
        lines.push_back(RunStarted(runFolder));
        int code = static_cast<int>(serverRuns[run - 1].exitCode);
        lines.push_back(run < 10 ? RunRestarts(runFolder, code, served[run - 1], pauses[run - 1] / 1000)
                                 : RunRefused(runFolder, code, 9));
    }
    EXPECT_EQ(LauncherLog(), Stamped(lines));
    EXPECT_EQ(output_.Text(), LauncherBanner(DEFAULT_PIPE, root_) + Stamped(lines));
}

struct RefusalCase {
    const char* name;
    std::vector<std::wstring> arguments;  // "ROOT" stands for the test's ROOT
    DWORD runFolderError, processError;
    int code;
};

const RefusalCase REFUSALS[] = {
    {"no ROOT", {}, 0, 0, EXIT_USAGE},
    {"empty ROOT", {L""}, 0, 0, EXIT_USAGE},
    {"three arguments", {L"ROOT", L"\\\\.\\pipe\\p", L"more"}, 0, 0, EXIT_USAGE},
    {"relative", {L"Jobs"}, 0, 0, EXIT_NOT_FULL_PATH},
    {"rooted on no drive", {L"\\Jobs"}, 0, 0, EXIT_NOT_FULL_PATH},
    {"relative to a drive", {L"C:Jobs"}, 0, 0, EXIT_NOT_FULL_PATH},
    {"a server and no share", {L"\\\\server\\"}, 0, 0, EXIT_NOT_FULL_PATH},
    {"inside a file", {L"ROOT\\file\\Jobs"}, 0, 0, EXIT_NO_FOLDER},
    {"run folder", {L"ROOT"}, ERROR_ACCESS_DENIED, 0, EXIT_NO_FOLDER},
    {"no kestrum.exe", {L"ROOT"}, 0, ERROR_FILE_NOT_FOUND, EXIT_NO_SERVER},
};

class Refusal : public Launcher, public testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, IsOneLineAndItsOwnCode)
{
    const RefusalCase& refusal = GetParam();
    runFolderError = refusal.runFolderError;
    if (refusal.processError != 0)
        calls_.Fail<&LauncherCalls::CreateProcessW>(1, refusal.processError, FALSE);
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    WriteBytes(root_ + L"\\file", "not a folder");
    std::vector<std::wstring> arguments = refusal.arguments;
    for (std::wstring& argument : arguments) {
        if (argument.compare(0, 4, L"ROOT") == 0) argument.replace(0, 4, root_);
    }
    EXPECT_EQ(Launch(arguments), refusal.code);
    std::string line;
    switch (refusal.code) {
        case EXIT_USAGE:
            line = LAUNCHER_USAGE;
            break;
        case EXIT_NOT_FULL_PATH:
            line = NotFullPath(arguments[0]);
            break;
        case EXIT_NO_FOLDER:
            line = runFolderError != 0 ? STAMP + CannotMakeFolder(root_ + L"\\Run0001", runFolderError)
                                       : CannotMakeFolder(arguments[0], ERROR_ALREADY_EXISTS);
            break;
        default:
            line = STAMP + CannotStart(ExeFolder() + L"\\kestrum.exe", refusal.processError);
    }
    bool logged = refusal.runFolderError != 0 || refusal.processError != 0;
    EXPECT_EQ(output_.Text(), logged ? LauncherBanner(DEFAULT_PIPE, root_) + line : line);
    EXPECT_EQ(LauncherLog(), logged ? line : "<missing>");
}

INSTANTIATE_TEST_SUITE_P(Launcher, Refusal, testing::ValuesIn(REFUSALS), CaseName());

}  // namespace
