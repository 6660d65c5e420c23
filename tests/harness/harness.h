// What the tests of kestrum.exe share: the real server started as a child process with its
// output collected, real named-pipe printers, files and folders, and the fixtures that give
// each test its pipe and folder. Where a test may run is declared by its fixture:
//   KestrumTest       a pipe and folder of its own; runs beside any other test
//   DefaultPipeTest   the default pipe and folder, shared with Wine's printer Kestrum and the
//                     Windows guide's check: CTest runs these one at a time
//   WholeMachineTest  timed, or heavy enough to skew a timed test: CTest runs it alone
// CTest reads the class from the suite's name (tests/CMakeLists.txt), and each fixture checks
// that its suite carries that name, so a test cannot lose its lock by a rename.
#pragma once
#include <windows.h>

#include "expected.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

const DWORD EXIT_REFUSED = 0xFFFFFFFF;  // the server's exit code -1
const DWORD START_TIMEOUT_MS = 30000;
const DWORD JOB_TIMEOUT_MS = 60000;
extern const wchar_t DEFAULT_PIPE[];

// Z:\dev\full is Linux's full device as Wine shows it; Windows gives an unprivileged user no
// disk that fills (a tiny volume needs an administrator).
extern const char NO_FULL_DISK[];

// Wine's ntdll exports its version; Windows' does not. A test whose answer differs between
// the two asks this and states both.
bool UnderWine();

std::wstring ExeFolder();
// One argument quoted as the runtime's command-line parser reads it back.
std::wstring Quoted(const std::wstring& argument);

// Runs a program to its end: its exit code, or STILL_ACTIVE when it did not end in time.
// `whileRunning` is done once the program has started; `errors` gets its standard error.
DWORD RunToEnd(std::wstring commandLine, const std::function<void()>& whileRunning = nullptr,
               std::string* errors = nullptr);

// Files and folders.
bool FileExists(const std::wstring& path);
std::string ReadBytes(const std::wstring& path);  // "<missing>" when it cannot be opened
void WriteBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::wstring> FileNames(const std::wstring& folder);  // sorted
void RemoveTree(const std::wstring& folder);
// A new folder under TEMP whose name no other run has taken, even one killed before it could
// clean up; its name ends in a tag that the caller may reuse for a pipe of its own.
std::wstring MakeTestFolder(const std::wstring& prefix, std::wstring* tag = nullptr);
std::wstring JobPath(const std::wstring& folder, int jobNumber);  // folder\Out0001.ps
std::string RandomBytes(size_t size, uint32_t seed);

// Printers. OpenPrinter opens the pipe as a spooler does, riding out a busy pipe and the
// moment between two instances; INVALID_HANDLE_VALUE after the timeout. SendJob opens, writes
// in pieces (pausing between them, as a slow printer does) and closes: NOT_OPENED when the
// pipe never opened, else the bytes written, short when the server stopped reading.
const size_t NOT_OPENED = SIZE_MAX;
HANDLE OpenPrinter(const std::wstring& pipe, DWORD timeoutMs = START_TIMEOUT_MS);
size_t SendJob(const std::wstring& pipe, const std::string& bytes, size_t piece = 65536, DWORD pauseMs = 0,
               DWORD openTimeoutMs = START_TIMEOUT_MS);

// A running kestrum.exe, or another program beside the test program, whose standard output is
// collected as it comes. Its input is NUL and it has no console, unless it is given a console's
// input: then it shares the test's console.
class Server {
public:
    ~Server() { Stop(); }
    void Start(const std::vector<std::wstring>& arguments, const std::wstring& program = L"kestrum.exe",
               HANDLE consoleInput = nullptr);
    std::string Log();
    // Waits until the log satisfies the condition; false on timeout.
    bool WaitFor(const std::function<bool(const std::string&)>& condition, DWORD timeoutMs = JOB_TIMEOUT_MS);
    bool WaitForCount(const std::string& message, int count, DWORD timeoutMs = JOB_TIMEOUT_MS);
    // The exit code once the server ended by itself; STILL_ACTIVE if it did not in time.
    DWORD WaitForExit(DWORD timeoutMs = START_TIMEOUT_MS);
    bool Running() const;
    HANDLE Process() const { return process_; }
    void Stop();

private:
    HANDLE process_ = nullptr;
    HANDLE output_ = nullptr;
    std::thread reader_;
    std::mutex mutex_;
    std::string log_;
};

// The process's standard output goes to a temporary file while one of these lives, so a unit
// test can read back exactly what the server's routines printed.
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::string Text() const;  // everything printed so far, as the bytes written

private:
    HANDLE saved_;
    HANDLE file_;
};

class KestrumTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Serves the test's pipe into its folder as Out0001.ps, Out0002.ps, ...
    void StartServer() { StartServer(folder_ + L"\\Out%04ld.ps"); }
    void StartServer(const std::wstring& outputTemplate);
    // Sends the job and waits until the server is through with it and awaits the next.
    void ServeJob(const std::string& bytes, int jobNumber, const std::string& lastMessage = THREAD_EXIT);
    // Waits for the jobs' last messages, then checks that the folder holds exactly the jobs,
    // numbered 1..N in any order of arrival, and that the log accounts for every byte.
    void ExpectEveryJobCaptured(const std::vector<std::string>& jobs);

    std::wstring pipe_;
    std::wstring folder_;
    Server server_;
};

class DefaultPipeTest : public KestrumTest {
protected:
    void SetUp() override;
};

class WholeMachineTest : public KestrumTest {
protected:
    void SetUp() override;
};
