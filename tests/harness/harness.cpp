#include "harness.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

const wchar_t DEFAULT_PIPE[] = L"\\\\.\\pipe\\kestrum";

DWORD TimeoutScale()
{
    char value[16];
    DWORD length = GetEnvironmentVariableA("KESTRUM_TIMEOUT_SCALE", value, sizeof value);
    if (length == 0 || length >= sizeof value) {
        return 1;
    }
    unsigned long scale = strtoul(value, nullptr, 10);
    return scale >= 1 ? static_cast<DWORD>(scale) : 1;
}
const DWORD START_TIMEOUT_MS = 30000 * TimeoutScale();
const DWORD JOB_TIMEOUT_MS = 60000 * TimeoutScale();

const char NO_FULL_DISK[] =
    "needs Z:\\dev\\full, a Linux device under Wine; the unit tests' case \"write fails\" covers "
    "a full disk through the WriteFile seam";

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring Quoted(const std::wstring& argument)
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

DWORD RunToEnd(std::wstring commandLine, const std::function<void()>& whileRunning, std::string* errors)
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

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadBytes(const std::wstring& path)
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

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "GLE=" << GetLastError();
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, bytes.size());
}

std::vector<std::wstring> FileNames(const std::wstring& folder)
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

void RemoveTree(const std::wstring& folder)
{
    for (const std::wstring& name : FileNames(folder)) {
        std::wstring path = folder + L"\\" + name;
        if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
            RemoveTree(path);
        } else {
            DeleteFileW(path.c_str());
        }
    }
    RemoveDirectoryW(folder.c_str());
}

std::wstring MakeTestFolder(const std::wstring& prefix, std::wstring* tag)
{
    static std::atomic<unsigned> serial{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // Wine reuses process ids, so a folder a killed run left behind may carry this one's name:
    // CreateDirectoryW alone tells which names are free.
    for (;;) {
        std::wstring name = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
        std::wstring folder = temp + prefix + name;
        if (CreateDirectoryW(folder.c_str(), nullptr)) {
            if (tag != nullptr) *tag = name;
            return folder;
        }
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            ADD_FAILURE() << "cannot create " << Utf8(folder) << ", GLE=" << error;
            return folder;
        }
    }
}

std::wstring JobPath(const std::wstring& folder, int jobNumber)
{
    wchar_t name[32];
    swprintf(name, 32, L"\\Out%04d.ps", jobNumber);
    return folder + name;
}

std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

HANDLE OpenPrinter(const std::wstring& pipe, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        HANDLE handle = CreateFileW(pipe.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return handle;
        DWORD error = GetLastError();
        if (GetTickCount64() > deadline || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(pipe.c_str(), 1000);
        } else {
            Sleep(5);
        }
    }
}

size_t SendJob(const std::wstring& pipe, const std::string& bytes, size_t piece, DWORD pauseMs,
               DWORD openTimeoutMs)
{
    HANDLE handle = OpenPrinter(pipe, openTimeoutMs);
    if (handle == INVALID_HANDLE_VALUE) return NOT_OPENED;
    size_t sent = 0;
    while (sent < bytes.size()) {
        DWORD size = static_cast<DWORD>(std::min(piece, bytes.size() - sent));
        DWORD written = 0;
        bool whole = WriteFile(handle, bytes.data() + sent, size, &written, nullptr) && written == size;
        sent += written;
        if (!whole) break;
        if (pauseMs > 0) Sleep(pauseMs);
    }
    DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
    return sent;
}

// --- Server ----------------------------------------------------------------------------------

namespace {

// A coverage build's server writes its counts when asked (tests/coverage_dump.cpp); in any
// other build the event does not exist.
void DumpCoverage(HANDLE process)
{
    std::wstring name = L"Local\\kestrum-coverage-" + std::to_wstring(GetProcessId(process));
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

}  // namespace

void Server::Start(const std::vector<std::wstring>& arguments, const std::wstring& program,
                   HANDLE consoleInput)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
    }
    std::wstring exe = ExeFolder() + L"\\" + program;
    std::wstring commandLine = Quoted(exe);
    for (const std::wstring& argument : arguments) commandLine += L" " + Quoted(argument);

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outputWrite = nullptr;
    ASSERT_TRUE(CreatePipe(&output_, &outputWrite, &inherit, 1 << 16));
    SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = consoleInput != nullptr ? consoleInput : nul;
    startup.hStdOutput = outputWrite;
    startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    BOOL started =
        CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                       consoleInput != nullptr ? 0 : CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    DWORD error = GetLastError();
    CloseHandle(outputWrite);
    CloseHandle(nul);
    ASSERT_TRUE(started) << "cannot start " << Utf8(exe) << ", GLE=" << error;
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    reader_ = std::thread([this] {
        char chunk[8192];
        DWORD count = 0;
        while (ReadFile(output_, chunk, sizeof chunk, &count, nullptr) && count > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.append(chunk, count);
        }
    });
}

std::string Server::Log()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

bool Server::WaitFor(const std::function<bool(const std::string&)>& condition, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition(Log())) return true;
        // A server that never started (Start has said why) or was stopped prints nothing more:
        // waiting out the limit would only add it to each test run without kestrum.exe.
        if (process_ == nullptr || GetTickCount64() > deadline) return false;
        Sleep(10);
    }
}

bool Server::WaitForCount(const std::string& message, int count, DWORD timeoutMs)
{
    return WaitFor([&](const std::string& log) { return Count(log, message) >= count; }, timeoutMs);
}

DWORD Server::WaitForExit(DWORD timeoutMs)
{
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_, &code);
    if (reader_.joinable()) reader_.join();
    return code;
}

bool Server::Running() const
{
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void Server::Stop()
{
    if (process_ != nullptr) {
        DumpCoverage(process_);
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

// --- Captured output -------------------------------------------------------------------------

CapturedOutput::CapturedOutput() : saved_(GetStdHandle(STD_OUTPUT_HANDLE))
{
    wchar_t folder[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"out", 0, path);
    file_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, file_);
}

CapturedOutput::~CapturedOutput()
{
    SetStdHandle(STD_OUTPUT_HANDLE, saved_);
    CloseHandle(file_);
}

std::string CapturedOutput::Text() const
{
    LARGE_INTEGER zero = {}, end = {};
    SetFilePointerEx(file_, zero, &end, FILE_CURRENT);
    SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN);
    std::string text(static_cast<size_t>(end.QuadPart), '\0');
    DWORD bytesRead = 0;
    if (!text.empty()) ReadFile(file_, &text[0], static_cast<DWORD>(text.size()), &bytesRead, nullptr);
    text.resize(bytesRead);
    SetFilePointerEx(file_, end, nullptr, FILE_BEGIN);
    return text;
}

// --- Fixtures --------------------------------------------------------------------------------

namespace {

// The suite's own name, without the prefix of an instantiation ("Prefix/Suite").
bool SuiteNamed(const char* start)
{
    std::string suite = ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
    suite = suite.substr(suite.rfind('/') + 1);
    return suite.compare(0, strlen(start), start) == 0;
}

}  // namespace

void KestrumTest::SetUp()
{
    std::wstring tag;
    folder_ = MakeTestFolder(L"kestrum-e2e-", &tag);
    pipe_ = L"\\\\.\\pipe\\kestrum-e2e-" + tag;
}

void KestrumTest::TearDown()
{
    server_.Stop();
    RemoveTree(folder_);
}

void KestrumTest::StartServer(const std::wstring& outputTemplate)
{
    server_.Start({pipe_, outputTemplate});
    ASSERT_TRUE(server_.WaitForCount(Awaiting(pipe_), 1, START_TIMEOUT_MS)) << server_.Log();
}

void KestrumTest::ServeJob(const std::string& bytes, int jobNumber, const std::string& lastMessage)
{
    int ended = Count(server_.Log(), lastMessage);
    if (bytes.empty()) {
        // A printer gone before the server's wait began, leaving nothing in the pipe, is no
        // printer to it: an empty job stays connected until the server has taken it.
        int connected = Count(server_.Log(), CONNECTED);
        HANDLE printer = OpenPrinter(pipe_);
        ASSERT_NE(printer, INVALID_HANDLE_VALUE) << "GLE=" << GetLastError();
        bool taken = server_.WaitForCount(CONNECTED, connected + 1);
        CloseHandle(printer);
        ASSERT_TRUE(taken) << server_.Log();
    } else {
        ASSERT_NE(SendJob(pipe_, bytes), NOT_OPENED) << "GLE=" << GetLastError();
    }
    ASSERT_TRUE(server_.WaitForCount(lastMessage, ended + 1)) << server_.Log();
    ASSERT_TRUE(server_.WaitForCount(Awaiting(pipe_), jobNumber + 1)) << server_.Log();
}

void KestrumTest::ExpectEveryJobCaptured(const std::vector<std::string>& jobs)
{
    int count = static_cast<int>(jobs.size());
    ASSERT_TRUE(server_.WaitForCount(THREAD_EXIT, count)) << server_.Log();
    ASSERT_TRUE(server_.WaitForCount(Awaiting(pipe_), count + 1)) << server_.Log();

    std::vector<std::wstring> expectedNames;
    for (int job = 1; job <= count; ++job) expectedNames.push_back(JobPath(L"", job).substr(1));
    ASSERT_EQ(FileNames(folder_), expectedNames);

    std::map<std::string, int> unclaimed;
    for (const std::string& job : jobs) ++unclaimed[job];
    for (int job = 1; job <= count; ++job) {
        auto match = unclaimed.find(ReadBytes(JobPath(folder_, job)));
        ASSERT_TRUE(match != unclaimed.end() && match->second > 0)
            << "Out" << job << " holds no job sent, or a job twice";
        --match->second;
    }

    // Every message but the reads, counted; each read between 1 and 32768 bytes, all of them
    // adding up to the bytes sent.
    size_t sent = 0, received = 0, chunk = 0;
    for (const std::string& job : jobs) sent += job.size();
    std::map<std::string, int> tally,
        expectedTally = {
            {Awaiting(pipe_), count + 1}, {CONNECTED, count}, {DISCONNECTED, count}, {THREAD_EXIT, count}};
    for (int job = 1; job <= count; ++job) ++expectedTally[Created(JobPath(folder_, job))];
    for (const std::string& message : Messages(server_.Log())) {
        if (ParseReceived(message, &chunk)) {
            EXPECT_GE(chunk, 1u);
            EXPECT_LE(chunk, 32768u);
            received += chunk;
        } else {
            ++tally[message];
        }
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(tally, expectedTally);
}

void DefaultPipeTest::SetUp()
{
    ASSERT_TRUE(SuiteNamed("DefaultPipe"))
        << "a test on the default pipe belongs to a suite named DefaultPipe*";
    KestrumTest::SetUp();
    pipe_ = DEFAULT_PIPE;
}

void WholeMachineTest::SetUp()
{
    ASSERT_TRUE(SuiteNamed("WholeMachine")) << "a test that needs the whole machine belongs to a suite named "
                                               "WholeMachine*";
    KestrumTest::SetUp();
}
