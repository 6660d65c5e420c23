// The listener driven through the system-call table: every outcome of the wait, the failure
// of each creation, and the parameters each pipe instance is created with.
#include "server/listener.h"
#include "harness/call_override.h"
#include "harness/harness.h"
#include "platform/system_calls.h"
#include "server/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// How the wait on one instance ends.
struct Wait {
    BOOL connected;
    DWORD error;
    BOOL peeked;
    DWORD bytesWaiting;
};

HANDLE InstanceHandle(size_t index) { return reinterpret_cast<HANDLE>(0x1000 + 16 * index); }
HANDLE ThreadHandle(size_t index) { return reinterpret_cast<HANDLE>(0x9000 + 16 * index); }
size_t IndexOf(HANDLE handle) { return (reinterpret_cast<uintptr_t>(handle) & 0xfff) / 16; }
std::string Describe(HANDLE handle)
{
    bool thread = reinterpret_cast<uintptr_t>(handle) >= 0x9000;
    return (thread ? "thread " : "instance ") + std::to_string(IndexOf(handle) + 1);
}

const wchar_t PIPE[] = L"\\\\.\\pipe\\listener-test";
const std::string AWAITING = Awaiting(PIPE);

struct ListenerCase {
    const char* name;
    Wait wait;
    bool served;  // else the instance is closed
};

const ListenerCase CASES[] = {
    {"connected during the wait", {TRUE, 0, FALSE, 0}, true},
    {"connected before the wait", {FALSE, ERROR_PIPE_CONNECTED, FALSE, 0}, true},
    {"gone before the wait leaving its job", {FALSE, ERROR_NO_DATA, TRUE, 1}, true},
    {"gone before the wait leaving nothing", {FALSE, ERROR_NO_DATA, TRUE, 0}, false},
    {"gone before the wait and peek fails", {FALSE, ERROR_NO_DATA, FALSE, 0}, false},
    {"wait fails otherwise", {FALSE, ERROR_INVALID_HANDLE, TRUE, 5}, false},
};

// Each instance is a made-up handle whose wait ends as `waits_` says; creating one more fails
// with `creationError`. Workers are never started: the listener's calls are recorded instead.
class Listener : public testing::Test {
protected:
    void SetUp() override
    {
        captureSettings.pipeName = PIPE;
        calls_.Fake<&SystemCalls::CreateNamedPipeW>(
            [this](LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maximumInstances, DWORD outBufferSize,
                   DWORD inBufferSize, DWORD timeout, LPSECURITY_ATTRIBUTES security) {
                openModes_.push_back(openMode);
                EXPECT_STREQ(name, captureSettings.pipeName);
                EXPECT_EQ(pipeMode, 0u);
                EXPECT_EQ(maximumInstances, 255u);
                EXPECT_EQ(outBufferSize, 16384u);
                EXPECT_EQ(inBufferSize, 16384u);
                EXPECT_EQ(timeout, 0u);
                EXPECT_EQ(security, nullptr);
                if (openModes_.size() <= waits_.size()) return InstanceHandle(openModes_.size() - 1);
                ADD_FAILURE() << "an instance created after the refused one";
                SetLastError(ERROR_INVALID_NAME);
                return INVALID_HANDLE_VALUE;
            });
        calls_.Fake<&SystemCalls::ConnectNamedPipe>([this](HANDLE instance, LPOVERLAPPED overlapped) {
            EXPECT_EQ(overlapped, nullptr);
            const Wait& wait = waits_[IndexOf(instance)];
            SetLastError(wait.error);
            return wait.connected;
        });
        calls_.Fake<&SystemCalls::PeekNamedPipe>(
            [this](HANDLE instance, LPVOID, DWORD, LPDWORD, LPDWORD bytesAvailable, LPDWORD) {
                const Wait& wait = waits_[IndexOf(instance)];
                *bytesAvailable = wait.bytesWaiting;
                if (!wait.peeked) SetLastError(ERROR_BROKEN_PIPE);
                return wait.peeked;
            });
        calls_.Fake<&SystemCalls::CreateThread>([this](LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                                                       LPTHREAD_START_ROUTINE, LPVOID instance, DWORD flags,
                                                       LPDWORD threadId) {
            EXPECT_EQ(security, nullptr);
            EXPECT_EQ(stackSize, 0u);
            EXPECT_EQ(flags, 0u);
            EXPECT_EQ(threadId, nullptr);
            events_.push_back("worker for " + Describe(static_cast<HANDLE>(instance)));
            return ThreadHandle(IndexOf(static_cast<HANDLE>(instance)));
        });
        calls_.Fake<&SystemCalls::CloseHandle>([this](HANDLE handle) {
            events_.push_back("CloseHandle(" + Describe(handle) + ")");
            return TRUE;
        });
    }

    // Runs the listener over the given waits, the creation after them failing with the error.
    int Listen(const std::vector<Wait>& waits, DWORD creationError = ERROR_PIPE_BUSY)
    {
        waits_ = waits;
        calls_.Fail<&SystemCalls::CreateNamedPipeW>(static_cast<int>(waits.size()) + 1, creationError,
                                                    INVALID_HANDLE_VALUE);
        return ListenLoop();
    }

    std::vector<Wait> waits_;
    std::vector<std::string> events_;
    std::vector<DWORD> openModes_;  // of the instances created
    CapturedOutput output_;
    CallOverride<SystemCalls> calls_{systemCalls};
};

class ListenerWait : public Listener, public testing::WithParamInterface<ListenerCase> {};

TEST_P(ListenerWait, ServesOrClosesTheInstanceAndGoesOn)
{
    bool served = GetParam().served;
    EXPECT_EQ(Listen({GetParam().wait}), -1);
    EXPECT_EQ(output_.Text(), AWAITING + (served ? CONNECTED : "") + AWAITING + PipeRefused(ERROR_PIPE_BUSY));
    EXPECT_EQ(events_, served ? (std::vector<std::string>{"worker for instance 1", "CloseHandle(thread 1)"})
                              : std::vector<std::string>{"CloseHandle(instance 1)"});
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ListenerWait, testing::ValuesIn(CASES), CaseName());

TEST_F(Listener, OnlyTheFirstInstanceClaimsThePipeName)
{
    EXPECT_EQ(Listen({{TRUE, 0, FALSE, 0}, {FALSE, ERROR_NO_DATA, TRUE, 0}, {TRUE, 0, FALSE, 0}}), -1);
    const DWORD inbound = PIPE_ACCESS_INBOUND;
    EXPECT_EQ(openModes_, (std::vector<DWORD>{inbound | FILE_FLAG_FIRST_PIPE_INSTANCE, inbound, inbound}));
}

TEST_F(Listener, ANameAlreadyServedEndsTheRunWithAccessDenied)
{
    // What Windows answers when another process created the pipe first.
    EXPECT_EQ(Listen({}, ERROR_ACCESS_DENIED), -1);
    EXPECT_EQ(output_.Text(), AWAITING + PipeRefused(ERROR_ACCESS_DENIED));
    EXPECT_EQ(calls_.Calls<&SystemCalls::CreateNamedPipeW>(), 1);
}

TEST_F(Listener, AWorkerThatCannotStartEndsTheRun)
{
    calls_.Fail<&SystemCalls::CreateThread>(1, ERROR_NOT_ENOUGH_MEMORY, nullptr);
    EXPECT_EQ(Listen({{TRUE, 0, FALSE, 0}, {TRUE, 0, FALSE, 0}}), -1);
    EXPECT_EQ(output_.Text(), AWAITING + CONNECTED + ThreadRefused(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(calls_.Calls<&SystemCalls::CreateThread>(), 1);
    EXPECT_EQ(events_, std::vector<std::string>{"CloseHandle(instance 1)"});
}

TEST_F(Listener, EachPrinterGetsItsOwnWorkerInTurn)
{
    Wait connected = {TRUE, 0, FALSE, 0};
    EXPECT_EQ(Listen({connected, {FALSE, ERROR_PIPE_CONNECTED, FALSE, 0}, connected}, ERROR_INVALID_NAME),
              -1);
    std::string turn = AWAITING + CONNECTED;
    EXPECT_EQ(output_.Text(), turn + turn + turn + AWAITING + PipeRefused(ERROR_INVALID_NAME));
    EXPECT_EQ(events_, (std::vector<std::string>{"worker for instance 1", "CloseHandle(thread 1)",
                                                "worker for instance 2", "CloseHandle(thread 2)",
                                                "worker for instance 3", "CloseHandle(thread 3)"}));
}

}  // namespace
