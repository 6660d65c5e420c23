// What the black-box tests share: the real kestrum.exe started as a child process with its
// output captured, real named-pipe printers, the exact message texts, and a fixture that gives
// each test its own pipe and output folder.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const DWORD EXIT_REFUSED = 0xFFFFFFFF;  // the server's exit code -1
const DWORD START_TIMEOUT_MS = 30000;
const DWORD JOB_TIMEOUT_MS = 60000;

// Z:\dev\full is Linux's full device as Wine shows it; Windows gives an unprivileged user no
// disk that fills (a tiny volume needs an administrator).
const char NO_FULL_DISK[] =
    "needs Z:\\dev\\full, a Linux device under Wine; the unit tests' case \"write fails\" covers "
    "a full disk through the WriteFile seam";

const char CONNECTED[] = "Printer connected, creating a processing thread.\n";
const char DISCONNECTED[] = "Kestrum thread: printer disconnected.\n";
const char THREAD_EXIT[] = "Kestrum thread exit.\n";

// Wine's ntdll exports its version; Windows' does not. A test whose answer differs between
// the two asks this and states both.
inline bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

inline std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr,
                        nullptr);
    return bytes;
}

inline std::string Awaiting(const std::wstring& pipe)
{
    return "\nKestrum: Awaiting next printer connection on " + Utf8(pipe) + "\n";
}

inline std::string Created(const std::wstring& path)
{
    return "InstanceThread created, writing to file " + Utf8(path) + ".\n";
}

inline std::string CreationError(DWORD code)
{
    return "InstanceThread: File creation error, GLE=" + std::to_string(code) + ".  Thread exits\n";
}

inline std::string Received(size_t count) { return "Received " + std::to_string(count) + " bytes.\n"; }

inline std::wstring JobPath(const std::wstring& folder, int jobNumber)
{
    wchar_t name[32];
    swprintf(name, 32, L"\\Out%04d.ps", jobNumber);
    return folder + name;
}

inline int Count(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// Splits the log into its messages. The awaiting message is the one that starts with a line
// break; every message ends with one. Joined again, the messages are the log.
inline std::vector<std::string> Messages(const std::string& log)
{
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', log[start] == '\n' ? start + 1 : start);
        end = end == std::string::npos ? log.size() : end + 1;
        messages.push_back(log.substr(start, end - start));
        start = end;
    }
    return messages;
}

// The messages other than the awaiting ones, in order.
inline std::vector<std::string> WithoutAwaiting(const std::string& log, const std::wstring& pipe)
{
    std::vector<std::string> rest;
    for (const std::string& message : Messages(log)) {
        if (message != Awaiting(pipe)) rest.push_back(message);
    }
    return rest;
}

// The messages a worker prints for a job it captured whole, read as the given chunks.
inline std::vector<std::string> CapturedJob(const std::wstring& path, const std::vector<size_t>& chunks)
{
    std::vector<std::string> messages = {CONNECTED, Created(path)};
    for (size_t chunk : chunks) messages.push_back(Received(chunk));
    messages.push_back(DISCONNECTED);
    messages.push_back(THREAD_EXIT);
    return messages;
}

// The reads the server reported, in order.
inline std::vector<size_t> ReceivedChunks(const std::string& log)
{
    std::vector<size_t> chunks;
    for (const std::string& message : Messages(log)) {
        unsigned long chunk = 0;
        if (sscanf(message.c_str(), "Received %lu bytes.\n", &chunk) == 1) chunks.push_back(chunk);
    }
    return chunks;
}

inline std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

inline std::wstring Quoted(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t character : argument) {
        if (character == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(character == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += character;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

// Runs a program to its end: its exit code, or STILL_ACTIVE when it did not end in time.
// `whileRunning` is done once the program has started; `errors` gets its standard error.
inline DWORD RunToEnd(std::wstring commandLine, const std::function<void()>& whileRunning = nullptr,
                      std::string* errors = nullptr)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE errorsRead = nullptr, errorsWrite = nullptr;
    if (errors != nullptr && !CreatePipe(&errorsRead, &errorsWrite, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed, GLE=" << GetLastError();
        return STILL_ACTIVE;
    }
    if (errorsRead != nullptr) SetHandleInformation(errorsRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (errorsWrite != nullptr) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdError = errorsWrite;
    }
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, errorsWrite != nullptr,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    DWORD error = GetLastError();
    if (errorsWrite != nullptr) CloseHandle(errorsWrite);
    DWORD code = STILL_ACTIVE;
    if (!started) {
        ADD_FAILURE() << "cannot start " << Utf8(commandLine) << ", GLE=" << error;
    } else {
        CloseHandle(process.hThread);
        if (whileRunning) whileRunning();
        if (WaitForSingleObject(process.hProcess, JOB_TIMEOUT_MS) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &code);
        } else {
            TerminateProcess(process.hProcess, 1);
        }
        CloseHandle(process.hProcess);
    }
    // Only what is in the pipe once the program has ended: a process it started (Wine starts its
    // services from the first program that needs them) may hold the pipe's other end for good.
    if (errorsRead != nullptr) {
        char chunk[4096];
        DWORD available = 0, count = 0;
        while (PeekNamedPipe(errorsRead, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(errorsRead, chunk, std::min<DWORD>(available, sizeof chunk), &count, nullptr))
            errors->append(chunk, count);
        CloseHandle(errorsRead);
    }
    return code;
}

inline bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's bytes, or "<missing>" when it cannot be opened.
inline std::string ReadBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char chunk[65536];
    DWORD count = 0;
    while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0) bytes.append(chunk, count);
    CloseHandle(file);
    return bytes;
}

inline void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "GLE=" << GetLastError();
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, bytes.size());
}

inline std::vector<std::wstring> FileNames(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

inline void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

inline std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// Opens the pipe as a printer does, waiting while the server is busy or between instances.
inline HANDLE OpenPrinter(const std::wstring& pipe)
{
    ULONGLONG deadline = GetTickCount64() + START_TIMEOUT_MS;
    for (;;) {
        HANDLE handle = CreateFileW(pipe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return handle;
        DWORD error = GetLastError();
        if (GetTickCount64() > deadline) return INVALID_HANDLE_VALUE;
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(pipe.c_str(), 1000);
        } else if (error == ERROR_FILE_NOT_FOUND) {
            Sleep(5);
        } else {
            return INVALID_HANDLE_VALUE;
        }
    }
}

// Sends one job: opens the pipe, writes the bytes, closes. False when the pipe never opened;
// a write the server refuses (it may stop reading) is not a failure here.
inline bool SendJob(const std::wstring& pipe, const std::string& bytes)
{
    HANDLE handle = OpenPrinter(pipe);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const size_t piece = 65536;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        DWORD size = static_cast<DWORD>(std::min(piece, bytes.size() - at));
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + at, size, &written, nullptr)) break;
    }
    CloseHandle(handle);
    return true;
}

// A running kestrum.exe whose standard output is collected as it comes.
class Server {
public:
    ~Server() { Stop(); }

    void Start(const std::vector<std::wstring>& arguments)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.clear();
        }
        std::wstring exe = ExeFolder() + L"\\kestrum.exe";
        std::wstring commandLine = Quoted(exe);
        for (const std::wstring& argument : arguments) commandLine += L" " + Quoted(argument);

        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE outputWrite = nullptr;
        ASSERT_TRUE(CreatePipe(&output_, &outputWrite, &inherit, 0));
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherit, OPEN_EXISTING, 0, nullptr);

        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nul;
        startup.hStdOutput = outputWrite;
        startup.hStdError = nul;
        PROCESS_INFORMATION process = {};
        BOOL started = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, nullptr, &startup, &process);
        DWORD error = GetLastError();
        CloseHandle(outputWrite);
        CloseHandle(nul);
        ASSERT_TRUE(started) << "cannot start " << Utf8(exe) << ", GLE=" << error;
        CloseHandle(process.hThread);
        process_ = process.hProcess;
        reader_ = std::thread([this] {
            char chunk[4096];
            DWORD count = 0;
            while (ReadFile(output_, chunk, sizeof chunk, &count, nullptr) && count > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                log_.append(chunk, count);
            }
        });
    }

    std::string Log()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

    // Waits until the log satisfies the condition; false on timeout.
    bool WaitFor(const std::function<bool(const std::string&)>& condition, DWORD timeoutMs = JOB_TIMEOUT_MS)
    {
        ULONGLONG deadline = GetTickCount64() + timeoutMs;
        for (;;) {
            if (condition(Log())) return true;
            if (GetTickCount64() > deadline) return false;
            Sleep(10);
        }
    }

    bool WaitForCount(const std::string& message, int count, DWORD timeoutMs = JOB_TIMEOUT_MS)
    {
        return WaitFor([&](const std::string& log) { return Count(log, message) >= count; }, timeoutMs);
    }

    // The exit code once the server ended by itself; STILL_ACTIVE if it did not in time.
    DWORD WaitForExit(DWORD timeoutMs = START_TIMEOUT_MS)
    {
        if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_, &code);
        if (reader_.joinable()) reader_.join();
        return code;
    }

    bool Running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

    void Stop()
    {
        if (process_ != nullptr) {
            DumpCoverage();
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, INFINITE);
            CloseHandle(process_);
            process_ = nullptr;
        }
        if (reader_.joinable()) reader_.join();
        if (output_ != nullptr) {
            CloseHandle(output_);
            output_ = nullptr;
        }
    }

private:
    // A coverage build's server writes its counts when asked (tests/coverage_dump.cpp); in any
    // other build the event does not exist.
    void DumpCoverage()
    {
        std::wstring name = L"Local\\kestrum-coverage-" + std::to_wstring(GetProcessId(process_));
        HANDLE dump = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
        if (dump == nullptr) return;
        HANDLE dumped = OpenEventW(SYNCHRONIZE, FALSE, (name + L"-dumped").c_str());
        SetEvent(dump);
        if (dumped != nullptr) {
            WaitForSingleObject(dumped, 10000);
            CloseHandle(dumped);
        }
        CloseHandle(dump);
    }

    HANDLE process_ = nullptr;
    HANDLE output_ = nullptr;
    std::thread reader_;
    std::mutex mutex_;
    std::string log_;
};

class KestrumTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> serial{0};
        std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        pipe_ = L"\\\\.\\pipe\\kestrum-e2e-" + tag;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"kestrum-e2e-" + tag;
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr)) << "GLE=" << GetLastError();
    }

    void TearDown() override
    {
        server_.Stop();
        RemoveTree(folder_);
    }

    // Serves the test's pipe into its folder as Out0001.ps, Out0002.ps, ...
    void StartServer() { StartServer(folder_ + L"\\Out%04ld.ps"); }

    void StartServer(const std::wstring& outputTemplate)
    {
        server_.Start({pipe_, outputTemplate});
        ASSERT_TRUE(server_.WaitForCount(Awaiting(pipe_), 1, START_TIMEOUT_MS)) << server_.Log();
    }

    // Sends the job and waits until the server is through with it and awaits the next.
    void ServeJob(const std::string& bytes, int jobNumber, const std::string& lastMessage = THREAD_EXIT)
    {
        int ended = Count(server_.Log(), lastMessage);
        ASSERT_TRUE(SendJob(pipe_, bytes)) << "GLE=" << GetLastError();
        ASSERT_TRUE(server_.WaitForCount(lastMessage, ended + 1)) << server_.Log();
        ASSERT_TRUE(server_.WaitForCount(Awaiting(pipe_), jobNumber + 1)) << server_.Log();
    }

    // Waits for the jobs' last messages and awaiting messages, then checks that each file in
    // the folder holds exactly one job's bytes, numbered 1..N, and that the log accounts for
    // every byte and nothing went wrong.
    void ExpectEveryJobCaptured(const std::vector<std::string>& jobs)
    {
        int count = static_cast<int>(jobs.size());
        ASSERT_TRUE(server_.WaitForCount(THREAD_EXIT, count)) << server_.Log();
        ASSERT_TRUE(server_.WaitForCount(Awaiting(pipe_), count + 1)) << server_.Log();

        std::vector<std::wstring> expectedNames;
        for (int job = 1; job <= count; ++job) {
            expectedNames.push_back(JobPath(L"", job).substr(1));
        }
        ASSERT_EQ(FileNames(folder_), expectedNames);

        std::map<std::string, int> unclaimed;
        for (const std::string& job : jobs) ++unclaimed[job];
        for (int job = 1; job <= count; ++job) {
            auto match = unclaimed.find(ReadBytes(JobPath(folder_, job)));
            ASSERT_TRUE(match != unclaimed.end() && match->second > 0)
                << "Out" << job << " holds no job sent, or a job twice";
            --match->second;
        }

        size_t sent = 0;
        for (const std::string& job : jobs) sent += job.size();
        size_t received = 0;
        std::map<std::string, int> tally;
        std::vector<std::string> created;
        for (const std::string& message : Messages(server_.Log())) {
            unsigned long chunk = 0;
            if (sscanf(message.c_str(), "Received %lu bytes.\n", &chunk) == 1 && message == Received(chunk)) {
                EXPECT_GE(chunk, 1u);
                EXPECT_LE(chunk, 32768u);
                received += chunk;
            } else if (message.compare(0, 40, "InstanceThread created, writing to file ") == 0) {
                created.push_back(message);
            } else {
                ++tally[message];
            }
        }
        EXPECT_EQ(received, sent);
        std::vector<std::string> expectedCreated;
        for (int job = 1; job <= count; ++job) expectedCreated.push_back(Created(JobPath(folder_, job)));
        std::sort(created.begin(), created.end());
        EXPECT_EQ(created, expectedCreated);
        std::map<std::string, int> expectedTally = {
            {Awaiting(pipe_), count + 1}, {CONNECTED, count}, {DISCONNECTED, count}, {THREAD_EXIT, count}};
        EXPECT_EQ(tally, expectedTally);
    }

    std::wstring pipe_;
    std::wstring folder_;
    Server server_;
};

}  // namespace
