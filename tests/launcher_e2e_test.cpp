// Black-box tests of kestrum-run.exe with the real kestrum.exe beside it: each run in the folder
// named, the server kept up, no server left when the launcher ends, and a refusal at a run's start
// ending the launcher.
#include "harness/harness.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <string>
#include <vector>

namespace {

std::wstring RunFolder(const std::wstring& root, int run)
{
    wchar_t name[16];
    swprintf(name, 16, L"\\Run%04d", run);
    return root + name;
}

bool WaitForText(const std::wstring& path, const std::string& text, DWORD timeoutMs = START_TIMEOUT_MS)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (ReadBytes(path).find(text) == std::string::npos) {
        if (GetTickCount64() > deadline) return false;
        Sleep(10);
    }
    return true;
}

// The kestrum.exe processes that the process started, by the system's own list.
std::vector<DWORD> ServersStartedBy(DWORD parent)
{
    std::vector<DWORD> servers;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && _wcsicmp(entry.szExeFile, L"kestrum.exe") == 0)
            servers.push_back(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return servers;
}

class LauncherProcess : public KestrumTest {
protected:
    // A kestrum.exe that outlived its launcher would hold, under Wine, the test's own output, and
    // CTest would wait for it until its time limit: the test has failed already, so it goes.
    void TearDown() override
    {
        // The system's list keeps a process's parent after the parent has ended.
        std::vector<DWORD> servers = ServersStartedBy(launcherId_);
        KestrumTest::TearDown();
        for (DWORD id : servers) {
            HANDLE server = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
            if (server == nullptr) continue;
            if (WaitForSingleObject(server, 5000) == WAIT_TIMEOUT) {
                ADD_FAILURE() << "a kestrum.exe outlived its launcher";
                TerminateProcess(server, 1);
            }
            CloseHandle(server);
        }
    }
    void StartLauncher(const std::wstring& root, const std::wstring& pipe)
    {
        server_.Start({root, pipe}, L"kestrum-run.exe");
        launcherId_ = GetProcessId(server_.Process());
    }
    // Waits until the run serves, then prints one job: its exact bytes land in the run's Out0001.ps.
    void ServeJobInRun(const std::wstring& runFolder, const std::string& bytes,
                       DWORD timeoutMs = START_TIMEOUT_MS)
    {
        ASSERT_TRUE(WaitForText(runFolder + L"\\kestrum.log", Awaiting(pipe_), timeoutMs)) << server_.Log();
        ASSERT_NE(SendJob(pipe_, bytes), NOT_OPENED) << "GLE=" << GetLastError();
        ASSERT_TRUE(WaitForText(runFolder + L"\\kestrum.log", THREAD_EXIT)) << server_.Log();
        EXPECT_TRUE(ReadBytes(JobPath(runFolder, 1)) == bytes) << "the job's bytes differ";
    }

    DWORD launcherId_ = 0;
};

TEST_F(LauncherProcess, ServesIntoExactlyTheFolderNamed)
{
    // Characters cmd or the output template would take for their own, and one outside the ANSI
    // code page.
    std::wstring root = folder_ + L"\\Jobs 100% (a&b)^! \u6253";
    StartLauncher(root, pipe_);
    ASSERT_NO_FATAL_FAILURE(ServeJobInRun(RunFolder(root, 1), RandomBytes(100000, 27)));
    EXPECT_EQ(FileNames(root), (std::vector<std::wstring>{L"Run0001", L"kestrum-run.log"}));
    EXPECT_EQ(FileNames(RunFolder(root, 1)), (std::vector<std::wstring>{L"Out0001.ps", L"kestrum.log"}));
    EXPECT_EQ(WithoutStamps(server_.Log()), LauncherBanner(pipe_, root) + RunStarted(RunFolder(root, 1)));
}

TEST_F(LauncherProcess, StartsTheNextRunSoonWhenTheServerIsKilled)
{
    CreateDirectoryW(RunFolder(folder_, 3).c_str(), nullptr);
    CreateDirectoryW(RunFolder(folder_, 7).c_str(), nullptr);
    StartLauncher(folder_, pipe_);
    ASSERT_NO_FATAL_FAILURE(ServeJobInRun(RunFolder(folder_, 8), "%!PS\nbefore\n"));
    std::vector<DWORD> servers = ServersStartedBy(GetProcessId(server_.Process()));
    ASSERT_EQ(servers.size(), 1u);
    HANDLE killed = OpenProcess(PROCESS_TERMINATE, FALSE, servers[0]);
    ASSERT_TRUE(TerminateProcess(killed, 1));
    CloseHandle(killed);
    ASSERT_NO_FATAL_FAILURE(ServeJobInRun(RunFolder(folder_, 9), "%!PS\nafter\n", 10000));
}

TEST_F(LauncherProcess, LeavesNoServerWhenItIsKilled)
{
    StartLauncher(folder_, pipe_);
    ASSERT_TRUE(WaitForText(RunFolder(folder_, 1) + L"\\kestrum.log", Awaiting(pipe_))) << server_.Log();
    std::vector<DWORD> servers = ServersStartedBy(GetProcessId(server_.Process()));
    ASSERT_EQ(servers.size(), 1u);
    HANDLE kestrum = OpenProcess(SYNCHRONIZE, FALSE, servers[0]);
    ASSERT_TRUE(TerminateProcess(server_.Process(), 1));
    EXPECT_EQ(WaitForSingleObject(kestrum, 5000), WAIT_OBJECT_0);
    CloseHandle(kestrum);
    EXPECT_EQ(OpenPrinter(pipe_, 0), INVALID_HANDLE_VALUE);
}

TEST_F(LauncherProcess, EndsWithTheServersCodeWhenARunIsRefusedAtItsStart)
{
    // Job 1's path, ROOT\Run0001\Out0001.ps, takes 260 characters.
    std::wstring longRoot = folder_ + L"\\" + std::wstring(241 - folder_.size() - 1, L'j');
    std::wstring longTemplate = RunFolder(longRoot, 1) + L"\\Out%04ld.ps";
    const struct {
        std::wstring root, pipe;
        std::string runLog;
    } cases[] = {
        {folder_ + L"\\pipe", L"C:\\x", Awaiting(L"C:\\x") + PipeRefused(ERROR_INVALID_NAME)},
        {longRoot, pipe_, TemplateRefused(longTemplate, TOO_LONG)},
    };
    for (const auto& refused : cases) {
        SCOPED_TRACE(Utf8(refused.root));
        StartLauncher(refused.root, refused.pipe);
        if (!UnderWine() && refused.root == longRoot) {
            // Windows makes no folder past 248 characters unless asked with \\?\ (CreateDirectoryW,
            // Microsoft Learn); Wine has no such limit.
            EXPECT_EQ(server_.WaitForExit(), 3u);
            continue;
        }
        EXPECT_EQ(server_.WaitForExit(), EXIT_REFUSED);
        EXPECT_EQ(FileNames(refused.root), (std::vector<std::wstring>{L"Run0001", L"kestrum-run.log"}));
        EXPECT_EQ(ReadBytes(RunFolder(refused.root, 1) + L"\\kestrum.log"), refused.runLog);
        server_.Stop();
    }
}

TEST_F(LauncherProcess, RefusesARootItCannotMake)
{
    WriteBytes(folder_ + L"\\file", "not a folder");
    std::wstring root = folder_ + L"\\file\\Jobs";
    StartLauncher(root, pipe_);
    EXPECT_EQ(server_.WaitForExit(), 3u);
    EXPECT_EQ(server_.Log(), CannotMakeFolder(root, ERROR_ALREADY_EXISTS));
}

}  // namespace
