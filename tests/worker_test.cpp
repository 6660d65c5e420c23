// The capture worker on a real pipe instance and real files, with single system calls made
// to fail through the system-call table. Each case pins the messages, what was released and
// in which order, the worker's result and the job numbers used.
#include "capture/capture_worker.h"
#include "capture/job_naming.h"
#include "harness/call_override.h"
#include "harness/harness.h"
#include "platform/system_calls.h"
#include "server/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using Calls = CallOverride<SystemCalls>;

const std::string SENT(1000, 'j');
const char* const CREATED = "{created}";  // the job's creation message, with its path
const std::string RECEIVED = Received(SENT.size());
const std::vector<std::string> RELEASED_ALL = {"DisconnectNamedPipe(pipe)", "CloseHandle(pipe)",
                                               "CloseHandle(file)", "HeapFree(buffer)"};
const std::vector<std::string> RELEASED_BEFORE_FILE = {"DisconnectNamedPipe(pipe)", "CloseHandle(pipe)",
                                                       "HeapFree(buffer)"};
const std::vector<std::string> RELEASED_PIPE_ONLY = {"DisconnectNamedPipe(pipe)", "CloseHandle(pipe)"};

struct Outcome {
    DWORD result;
    bool numberUsed;
    int bytesInFile;  // -1: no file
    int reads;
};

struct WorkerCase {
    const char* name;
    void (*force)(Calls&);
    std::vector<std::string> messages;
    std::vector<std::string> released;
    Outcome outcome;
};

const WorkerCase CASES[] = {
    {"whole job",
     [](Calls&) {},
     {CREATED, RECEIVED, DISCONNECTED, THREAD_EXIT},
     RELEASED_ALL,
     {1, true, 1000, 2}},
    {"heap returns null",
     [](Calls& calls) { calls.Fail<&SystemCalls::HeapAlloc>(1, ERROR_NOT_ENOUGH_MEMORY, nullptr); },
     {HEAP_FAILURE},
     RELEASED_PIPE_ONLY,
     {DWORD(-1), false, -1, 0}},
    {"missing folder",
     [](Calls& calls) {
         calls.Fail<&SystemCalls::CreateFileW>(1, ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
     },
     {CREATED, CreationError(3)},
     RELEASED_BEFORE_FILE,
     {DWORD(-1), true, -1, 0}},
    {"file held by another",
     [](Calls& calls) {
         calls.Fail<&SystemCalls::CreateFileW>(1, ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
     },
     {CREATED, CreationError(32)},
     RELEASED_BEFORE_FILE,
     {DWORD(-1), true, -1, 0}},
    {"read fails other than broken pipe",
     [](Calls& calls) { calls.Fail<&SystemCalls::ReadFile>(2, ERROR_OPERATION_ABORTED, FALSE, true); },
     {CREATED, RECEIVED, ReadFailed(995), THREAD_EXIT},
     RELEASED_ALL,
     {1, true, 1000, 2}},
    {"read succeeds with nothing",
     // The stale code must not be reported.
     [](Calls& calls) { calls.Fail<&SystemCalls::ReadFile>(1, ERROR_INVALID_HANDLE, TRUE); },
     {CREATED, RECEIVED, DISCONNECTED, THREAD_EXIT},
     RELEASED_ALL,
     {1, true, 1000, 3}},
    {"write fails",
     [](Calls& calls) { calls.Fail<&SystemCalls::WriteFile>(1, ERROR_DISK_FULL, FALSE); },
     {CREATED, WriteFailed(112), THREAD_EXIT},
     RELEASED_ALL,
     {1, true, 0, 1}},
    {"write is short",
     [](Calls& calls) {
         calls.Fake<&SystemCalls::WriteFile>([&calls](HANDLE file, LPCVOID buffer, DWORD size,
                                                      LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
             BOOL written = calls.Real().WriteFile(file, buffer, size / 2, bytesWritten, overlapped);
             SetLastError(ERROR_DISK_FULL);
             return written;
         });
     },
     {CREATED, WriteFailed(112), THREAD_EXIT},
     RELEASED_ALL,
     {1, true, 500, 1}},
};

void PrintTo(const WorkerCase& workerCase, std::ostream* stream) { *stream << workerCase.name; }

class CaptureWorker : public testing::TestWithParam<WorkerCase> {
protected:
    void SetUp() override
    {
        std::wstring tag;
        folder_ = MakeTestFolder(L"kestrum-worker-", &tag);
        outputTemplate_ = folder_ + L"\\Out%04ld.ps";
        captureSettings.outputTemplate = outputTemplate_.c_str();

        std::wstring pipeName = L"\\\\.\\pipe\\kestrum-worker-" + tag;
        jobPipe_ = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_INBOUND, 0, 1, 16384, 16384, 0, nullptr);
        ASSERT_NE(jobPipe_, INVALID_HANDLE_VALUE);
        client_ = CreateFileW(pipeName.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(client_, INVALID_HANDLE_VALUE);
        ASSERT_FALSE(ConnectNamedPipe(jobPipe_, nullptr));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));

        // Each release is recorded, with the bytes the worker had printed by then; how the job's
        // file is opened and what each read asks for are checked.
        calls_.Fake<&SystemCalls::DisconnectNamedPipe>([this](HANDLE handle) {
            Released("DisconnectNamedPipe(" + NameOf(handle) + ")");
            return calls_.Real().DisconnectNamedPipe(handle);
        });
        calls_.Fake<&SystemCalls::CloseHandle>([this](HANDLE handle) {
            Released("CloseHandle(" + NameOf(handle) + ")");
            return calls_.Real().CloseHandle(handle);
        });
        calls_.Fake<&SystemCalls::HeapFree>([this](HANDLE heap, DWORD flags, LPVOID block) {
            Released(HeapSize(heap, 0, block) == TRANSFER_CHUNK ? "HeapFree(buffer)" : "HeapFree(other)");
            return calls_.Real().HeapFree(heap, flags, block);
        });
        calls_.Fake<&SystemCalls::CreateFileW>([this](LPCWSTR path, DWORD access, DWORD share,
                                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                                      DWORD attributes, HANDLE templateFile) {
            // Write access alone, shared with nobody until the job is whole, an earlier file of
            // that name replaced, and a plain file: one marked temporary may never leave the
            // cache, and backups skip it.
            EXPECT_EQ(access, static_cast<DWORD>(GENERIC_WRITE));
            EXPECT_EQ(share, 0u);
            EXPECT_EQ(security, nullptr);
            EXPECT_EQ(disposition, static_cast<DWORD>(CREATE_ALWAYS));
            EXPECT_EQ(attributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
            EXPECT_EQ(templateFile, nullptr);
            jobFile_ = calls_.Real().CreateFileW(path, access, share, security, disposition, attributes,
                                                 templateFile);
            return jobFile_;
        });
        calls_.Fake<&SystemCalls::ReadFile>(
            [this](HANDLE file, LPVOID buffer, DWORD size, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
                EXPECT_EQ(size, 32768u) << "every read asks for a whole 32 KiB chunk";
                return calls_.Real().ReadFile(file, buffer, size, bytesRead, overlapped);
            });
    }
    void TearDown() override
    {
        if (client_ != INVALID_HANDLE_VALUE) CloseHandle(client_);
        RemoveTree(folder_);
    }

    std::string NameOf(HANDLE handle) const
    {
        return handle == jobPipe_ ? "pipe" : handle == jobFile_ ? "file" : "other";
    }

    void Released(const std::string& call)
    {
        releases_.push_back(call);
        LARGE_INTEGER printed = {};
        GetFileSizeEx(GetStdHandle(STD_OUTPUT_HANDLE), &printed);
        printedAtRelease_ = static_cast<size_t>(printed.QuadPart);
    }

    // The printer sends its job and goes; the worker then serves the instance.
    DWORD SendJobAndServe(const std::string& job)
    {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(client_, job.data(), static_cast<DWORD>(job.size()), &written, nullptr));
        CloseHandle(client_);
        client_ = INVALID_HANDLE_VALUE;
        return InstanceThread(jobPipe_);
    }

    std::wstring folder_, outputTemplate_;
    HANDLE client_ = INVALID_HANDLE_VALUE;
    HANDLE jobPipe_ = INVALID_HANDLE_VALUE;
    HANDLE jobFile_ = INVALID_HANDLE_VALUE;
    std::vector<std::string> releases_;
    size_t printedAtRelease_ = 0;  // bytes the worker had printed when it last released something
    CapturedOutput output_;
    Calls calls_{systemCalls};
};

TEST_P(CaptureWorker, ReportsReleasesAndNumbersAsEachEndRequires)
{
    const WorkerCase& expected = GetParam();
    expected.force(calls_);
    int32_t before = NextJobNumber();
    std::wstring path = JobPath(folder_, before + 1);

    DWORD result = SendJobAndServe(SENT);

    std::string messages;
    for (const std::string& message : expected.messages)
        messages += message == CREATED ? Created(path) : message;
    EXPECT_EQ(output_.Text(), messages);
    EXPECT_EQ(releases_, expected.released);
    // The end is reported before the releases; the exit message says that all is released.
    bool exits = expected.messages.back() == THREAD_EXIT;
    EXPECT_EQ(printedAtRelease_, messages.size() - (exits ? strlen(THREAD_EXIT) : 0));
    EXPECT_EQ(result, expected.outcome.result);
    EXPECT_EQ(NextJobNumber(), before + (expected.outcome.numberUsed ? 2 : 1));
    EXPECT_EQ(calls_.Calls<&SystemCalls::ReadFile>(), expected.outcome.reads);
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    bool exists = GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes);
    EXPECT_EQ(exists, expected.outcome.bytesInFile >= 0);
    if (exists) {
        EXPECT_EQ(attributes.nFileSizeLow, static_cast<DWORD>(expected.outcome.bytesInFile));
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, CaptureWorker, testing::ValuesIn(CASES), CaseName());

TEST_F(CaptureWorker, ANumberWhosePathNoLongerFitsEndsAsAFileThatCannotBeCreated)
{
    int32_t next = NextJobNumber() + 1;
    size_t digits = std::to_string(next).size();
    // Job 1 fits the template's path; this job's number makes it 260 characters.
    outputTemplate_ = std::wstring(OUTPUT_NAME_CAPACITY - digits, L'x') + L"%ld";
    captureSettings.outputTemplate = outputTemplate_.c_str();

    DWORD result = SendJobAndServe(SENT);

    EXPECT_EQ(output_.Text(), CreationError(206));
    EXPECT_EQ(releases_, RELEASED_BEFORE_FILE);
    EXPECT_EQ(result, DWORD(-1));
    EXPECT_EQ(calls_.Calls<&SystemCalls::CreateFileW>(), 0);
    EXPECT_EQ(calls_.Calls<&SystemCalls::ReadFile>(), 0);
    EXPECT_EQ(NextJobNumber(), next + 1);
}

TEST_F(CaptureWorker, JobTenThousandOfTheDefaultNameTakesAFifthDigit)
{
    while (NextJobNumber() < 9999) {
    }
    const std::wstring path = folder_ + L"\\Out10000.ps";

    EXPECT_EQ(SendJobAndServe(SENT), 1u);

    EXPECT_EQ(output_.Text(), Created(path) + RECEIVED + DISCONNECTED + THREAD_EXIT);
    EXPECT_EQ(ReadBytes(path), SENT);
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

    EXPECT_EQ(InstanceThread(jobPipe_), 1u);
    printer.join();

    std::string text = output_.Text();
    for (size_t chunk : ReceivedChunks(text)) EXPECT_LE(chunk, TRANSFER_CHUNK);
    EXPECT_EQ(ReceivedTotal(text), job.size());
    EXPECT_TRUE(ReadBytes(JobPath(folder_, jobNumber)) == job);
}

}  // namespace
