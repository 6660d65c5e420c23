// The capture worker on a real pipe instance and real files, with single system calls made
// to fail through the system-call table. Each case pins the messages, what was released and
// in which order, the worker's result and the job numbers used.
#include "capture/capture_worker.h"
#include "capture/job_naming.h"
#include "harness/harness.h"
#include "platform/system_calls.h"
#include "server/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

HANDLE jobPipe, jobFile = INVALID_HANDLE_VALUE;
void* jobBuffer;
std::vector<std::string> releases;
int reads, fileCreations;
size_t printedAtRelease;  // bytes the worker had printed when it last released something

void RecordRelease(const std::string& call)
{
    releases.push_back(call);
    LARGE_INTEGER printed = {};
    GetFileSizeEx(GetStdHandle(STD_OUTPUT_HANDLE), &printed);
    printedAtRelease = static_cast<size_t>(printed.QuadPart);
}

std::string NameOf(HANDLE handle)
{
    return handle == jobPipe ? "pipe" : handle == jobFile ? "file" : "other";
}

BOOL WINAPI RecordingDisconnect(HANDLE handle)
{
    RecordRelease("DisconnectNamedPipe(" + NameOf(handle) + ")");
    return REAL_SYSTEM_CALLS.DisconnectNamedPipe(handle);
}
BOOL WINAPI RecordingClose(HANDLE handle)
{
    RecordRelease("CloseHandle(" + NameOf(handle) + ")");
    return REAL_SYSTEM_CALLS.CloseHandle(handle);
}
LPVOID WINAPI RecordingAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    return jobBuffer = REAL_SYSTEM_CALLS.HeapAlloc(heap, flags, size);
}
BOOL WINAPI RecordingFree(HANDLE heap, DWORD flags, LPVOID memory)
{
    RecordRelease(memory == jobBuffer ? "HeapFree(buffer)" : "HeapFree(other)");
    return REAL_SYSTEM_CALLS.HeapFree(heap, flags, memory);
}
HANDLE WINAPI RecordingCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD attributes, HANDLE templateFile)
{
    ++fileCreations;
    // Write access alone, shared with nobody until the job is whole, an earlier file of that
    // name replaced, and a plain file: one marked temporary may never leave the cache, and
    // backups skip it.
    EXPECT_EQ(access, static_cast<DWORD>(GENERIC_WRITE));
    EXPECT_EQ(share, 0u);
    EXPECT_EQ(security, nullptr);
    EXPECT_EQ(disposition, static_cast<DWORD>(CREATE_ALWAYS));
    EXPECT_EQ(attributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(templateFile, nullptr);
    return jobFile = REAL_SYSTEM_CALLS.CreateFileW(path, access, share, security, disposition, attributes,
                                                   templateFile);
}
BOOL WINAPI CountingRead(HANDLE file, LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED overlapped)
{
    ++reads;
    EXPECT_EQ(size, 32768u) << "every read asks for a whole 32 KiB chunk";
    return REAL_SYSTEM_CALLS.ReadFile(file, buffer, size, bytesRead, overlapped);
}

// The failures forced, one per case.
LPVOID WINAPI NullAlloc(HANDLE, DWORD, SIZE_T)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
template <DWORD ERROR_CODE>
HANDLE WINAPI FailingCreateFile(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    ++fileCreations;
    SetLastError(ERROR_CODE);
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI ReadFailsAfterFirstChunk(HANDLE file, LPVOID buffer, DWORD size, LPDWORD bytesRead,
                                     LPOVERLAPPED overlapped)
{
    if (reads == 0) return CountingRead(file, buffer, size, bytesRead, overlapped);
    ++reads;
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
}
BOOL WINAPI FirstReadGetsNothing(HANDLE file, LPVOID buffer, DWORD size, LPDWORD bytesRead,
                                 LPOVERLAPPED overlapped)
{
    if (reads > 0) return CountingRead(file, buffer, size, bytesRead, overlapped);
    ++reads;
    *bytesRead = 0;
    SetLastError(ERROR_INVALID_HANDLE);  // a stale code that must not be reported
    return TRUE;
}
BOOL WINAPI WriteFails(HANDLE, LPCVOID, DWORD, LPDWORD bytesWritten, LPOVERLAPPED)
{
    *bytesWritten = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
BOOL WINAPI WriteShort(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD bytesWritten, LPOVERLAPPED overlapped)
{
    BOOL written = REAL_SYSTEM_CALLS.WriteFile(file, buffer, size / 2, bytesWritten, overlapped);
    SetLastError(ERROR_DISK_FULL);
    return written;
}

const std::string SENT(1000, 'j');
const char* const CREATED = "{created}";  // the job's creation message, with its path
const std::string RECEIVED = Received(SENT.size());
const std::vector<std::string> RELEASED_ALL = {"DisconnectNamedPipe(pipe)", "CloseHandle(pipe)",
                                               "CloseHandle(file)", "HeapFree(buffer)"};
const std::vector<std::string> RELEASED_BEFORE_FILE = {"DisconnectNamedPipe(pipe)", "CloseHandle(pipe)",
                                                       "HeapFree(buffer)"};
const std::vector<std::string> RELEASED_PIPE_ONLY = {"DisconnectNamedPipe(pipe)", "CloseHandle(pipe)"};

struct WorkerCase {
    const char* name;
    void (*force)(SystemCalls&);
    std::vector<std::string> messages;
    std::vector<std::string> released;
    DWORD result;
    bool numberUsed;
    int bytesInFile;  // -1: no file
    int readsExpected;
};

const WorkerCase CASES[] = {
    {"whole job",
     [](SystemCalls&) {},
     {CREATED, RECEIVED, DISCONNECTED, THREAD_EXIT},
     RELEASED_ALL,
     1,
     true,
     1000,
     2},
    {"heap returns null",
     [](SystemCalls& calls) { calls.HeapAlloc = NullAlloc; },
     {HEAP_FAILURE},
     RELEASED_PIPE_ONLY,
     DWORD(-1),
     false,
     -1,
     0},
    {"missing folder",
     [](SystemCalls& calls) { calls.CreateFileW = FailingCreateFile<ERROR_PATH_NOT_FOUND>; },
     {CREATED, CreationError(3)},
     RELEASED_BEFORE_FILE,
     DWORD(-1),
     true,
     -1,
     0},
    {"file held by another",
     [](SystemCalls& calls) { calls.CreateFileW = FailingCreateFile<ERROR_SHARING_VIOLATION>; },
     {CREATED, CreationError(32)},
     RELEASED_BEFORE_FILE,
     DWORD(-1),
     true,
     -1,
     0},
    {"read fails other than broken pipe",
     [](SystemCalls& calls) { calls.ReadFile = ReadFailsAfterFirstChunk; },
     {CREATED, RECEIVED, ReadFailed(995), THREAD_EXIT},
     RELEASED_ALL,
     1,
     true,
     1000,
     2},
    {"read succeeds with nothing",
     [](SystemCalls& calls) { calls.ReadFile = FirstReadGetsNothing; },
     {CREATED, RECEIVED, DISCONNECTED, THREAD_EXIT},
     RELEASED_ALL,
     1,
     true,
     1000,
     3},
    {"write fails",
     [](SystemCalls& calls) { calls.WriteFile = WriteFails; },
     {CREATED, WriteFailed(112), THREAD_EXIT},
     RELEASED_ALL,
     1,
     true,
     0,
     1},
    {"write is short",
     [](SystemCalls& calls) { calls.WriteFile = WriteShort; },
     {CREATED, WriteFailed(112), THREAD_EXIT},
     RELEASED_ALL,
     1,
     true,
     500,
     1},
};

void PrintTo(const WorkerCase& workerCase, std::ostream* stream) { *stream << workerCase.name; }

// The bytes of a job's file; empty when there is none.
std::string ReadJob(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string landed(8 * TRANSFER_CHUNK, '\0');
    DWORD bytesRead = 0;
    ReadFile(file, &landed[0], static_cast<DWORD>(landed.size()), &bytesRead, nullptr);
    CloseHandle(file);
    landed.resize(bytesRead);
    return landed;
}

class CaptureWorker : public testing::TestWithParam<WorkerCase> {
protected:
    void SetUp() override
    {
        std::wstring tag;
        folder_ = MakeTestFolder(L"kestrum-worker-", &tag);
        outputTemplate_ = folder_ + L"\\Job%ld.ps";
        captureSettings.outputTemplate = outputTemplate_.c_str();

        std::wstring pipeName = L"\\\\.\\pipe\\kestrum-worker-" + tag;
        jobPipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_INBOUND, 0, 1, 16384, 16384, 0, nullptr);
        ASSERT_NE(jobPipe, INVALID_HANDLE_VALUE);
        client_ = CreateFileW(pipeName.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(client_, INVALID_HANDLE_VALUE);
        ASSERT_FALSE(ConnectNamedPipe(jobPipe, nullptr));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));

        jobFile = INVALID_HANDLE_VALUE;
        jobBuffer = nullptr;
        releases.clear();
        reads = fileCreations = 0;
        systemCalls = REAL_SYSTEM_CALLS;
        systemCalls.DisconnectNamedPipe = RecordingDisconnect;
        systemCalls.CloseHandle = RecordingClose;
        systemCalls.HeapAlloc = RecordingAlloc;
        systemCalls.HeapFree = RecordingFree;
        systemCalls.CreateFileW = RecordingCreateFile;
        systemCalls.ReadFile = CountingRead;
    }
    void TearDown() override
    {
        systemCalls = REAL_SYSTEM_CALLS;
        if (client_ != INVALID_HANDLE_VALUE) CloseHandle(client_);
        RemoveTree(folder_);
    }

    // The printer sends its job and goes; the worker then serves the instance.
    DWORD SendJobAndServe(const std::string& job)
    {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(client_, job.data(), static_cast<DWORD>(job.size()), &written, nullptr));
        CloseHandle(client_);
        client_ = INVALID_HANDLE_VALUE;
        return InstanceThread(jobPipe);
    }

    std::wstring JobPath(int32_t jobNumber) const
    {
        return folder_ + L"\\Job" + std::to_wstring(jobNumber) + L".ps";
    }

    std::wstring folder_, outputTemplate_;
    HANDLE client_ = INVALID_HANDLE_VALUE;
    CapturedOutput output_;
};

TEST_P(CaptureWorker, ReportsReleasesAndNumbersAsEachEndRequires)
{
    const WorkerCase& expected = GetParam();
    expected.force(systemCalls);
    int32_t before = NextJobNumber();
    std::wstring path = JobPath(before + 1);

    DWORD result = SendJobAndServe(SENT);

    std::string messages;
    for (const std::string& message : expected.messages)
        messages += message == CREATED ? Created(path) : message;
    EXPECT_EQ(output_.Text(), messages);
    EXPECT_EQ(releases, expected.released);
    // The end is reported before the releases; the exit message says that all is released.
    bool exits = expected.messages.back() == THREAD_EXIT;
    EXPECT_EQ(printedAtRelease, messages.size() - (exits ? strlen(THREAD_EXIT) : 0));
    EXPECT_EQ(result, expected.result);
    EXPECT_EQ(NextJobNumber(), before + (expected.numberUsed ? 2 : 1));
    EXPECT_EQ(reads, expected.readsExpected);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    bool exists = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes);
    EXPECT_EQ(exists, expected.bytesInFile >= 0);
    if (exists) {
        EXPECT_EQ(attributes.nFileSizeLow, static_cast<DWORD>(expected.bytesInFile));
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, CaptureWorker, testing::ValuesIn(CASES), [](const auto& info) {
    std::string name;
    for (const char* c = info.param.name; *c; ++c) name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

TEST_F(CaptureWorker, ANumberWhosePathNoLongerFitsEndsAsAFileThatCannotBeCreated)
{
    int32_t next = NextJobNumber() + 1;
    size_t digits = std::to_string(next).size();
    // Job 1 fits the template's path; this job's number makes it 260 characters.
    outputTemplate_ = std::wstring(OUTPUT_NAME_CAPACITY - digits, L'x') + L"%ld";
    captureSettings.outputTemplate = outputTemplate_.c_str();

    DWORD result = SendJobAndServe(SENT);

    EXPECT_EQ(output_.Text(), CreationError(206));
    EXPECT_EQ(releases, RELEASED_BEFORE_FILE);
    EXPECT_EQ(result, DWORD(-1));
    EXPECT_EQ(fileCreations, 0);
    EXPECT_EQ(reads, 0);
    EXPECT_EQ(NextJobNumber(), next + 1);
}

TEST_F(CaptureWorker, JobTenThousandOfTheDefaultNameTakesAFifthDigit)
{
    outputTemplate_ = folder_ + L"\\Out%04ld.ps";
    captureSettings.outputTemplate = outputTemplate_.c_str();
    while (NextJobNumber() < 9999) {
    }
    const std::wstring path = folder_ + L"\\Out10000.ps";

    EXPECT_EQ(SendJobAndServe(SENT), 1u);

    EXPECT_EQ(output_.Text(), Created(path) + RECEIVED + DISCONNECTED + THREAD_EXIT);
    EXPECT_EQ(ReadJob(path), SENT);
}

TEST_F(CaptureWorker, AJobOfManyChunksLandsWholeInItsFile)
{
    std::string job(5 * TRANSFER_CHUNK + 123, '\0');
    for (size_t index = 0; index < job.size(); ++index)
        job[index] = static_cast<char>(index * 7 + index / 251);
    int32_t jobNumber = NextJobNumber() + 1;
    HANDLE client = client_;
    client_ = INVALID_HANDLE_VALUE;
    // The pipe holds 16 KiB: the printer writes from its own thread while the worker reads.
    std::thread printer([client, &job] {
        DWORD written = 0;
        WriteFile(client, job.data(), static_cast<DWORD>(job.size()), &written, nullptr);
        CloseHandle(client);
    });

    EXPECT_EQ(InstanceThread(jobPipe), 1u);
    printer.join();

    std::string text = output_.Text();
    for (size_t chunk : ReceivedChunks(text)) EXPECT_LE(chunk, TRANSFER_CHUNK);
    EXPECT_EQ(ReceivedTotal(text), job.size());
    EXPECT_TRUE(ReadJob(JobPath(jobNumber)) == job);
}

}  // namespace
