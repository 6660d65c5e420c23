// The listener driven through the system-call table: every outcome of the wait, the failure
// of each creation, and the parameters each pipe instance is created with.
#include "server/listener.h"
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

std::vector<Wait> waits;           // one per instance; once used up, creation fails
DWORD creationError, threadError;  // threadError 0: threads start
std::vector<std::string> events;
std::vector<DWORD> openModes;

HANDLE InstanceHandle(size_t index) { return reinterpret_cast<HANDLE>(0x1000 + 16 * index); }
HANDLE ThreadHandle(size_t index) { return reinterpret_cast<HANDLE>(0x9000 + 16 * index); }
size_t IndexOf(HANDLE handle) { return (reinterpret_cast<uintptr_t>(handle) & 0xfff) / 16; }
std::string Describe(HANDLE handle)
{
    bool thread = reinterpret_cast<uintptr_t>(handle) >= 0x9000;
    return (thread ? "thread " : "instance ") + std::to_string(IndexOf(handle) + 1);
}

HANDLE WINAPI FakeCreateNamedPipe(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maximumInstances,
                                  DWORD outBufferSize, DWORD inBufferSize, DWORD timeout,
                                  LPSECURITY_ATTRIBUTES security)
{
    openModes.push_back(openMode);
    EXPECT_STREQ(name, captureSettings.pipeName);
    EXPECT_EQ(pipeMode, 0u);
    EXPECT_EQ(maximumInstances, 255u);
    EXPECT_EQ(outBufferSize, 16384u);
    EXPECT_EQ(inBufferSize, 16384u);
    EXPECT_EQ(timeout, 0u);
    EXPECT_EQ(security, nullptr);
    if (openModes.size() > waits.size()) {
        SetLastError(creationError);
        return INVALID_HANDLE_VALUE;
    }
    return InstanceHandle(openModes.size() - 1);
}
BOOL WINAPI FakeConnect(HANDLE instance, LPOVERLAPPED overlapped)
{
    EXPECT_EQ(overlapped, nullptr);
    const Wait& wait = waits[IndexOf(instance)];
    SetLastError(wait.error);
    return wait.connected;
}
BOOL WINAPI FakePeek(HANDLE instance, LPVOID, DWORD, LPDWORD, LPDWORD bytesAvailable, LPDWORD)
{
    const Wait& wait = waits[IndexOf(instance)];
    *bytesAvailable = wait.bytesWaiting;
    if (!wait.peeked) SetLastError(ERROR_BROKEN_PIPE);
    return wait.peeked;
}
HANDLE WINAPI FakeCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE,
                               LPVOID instance, DWORD flags, LPDWORD threadId)
{
    EXPECT_EQ(security, nullptr);
    EXPECT_EQ(stackSize, 0u);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(threadId, nullptr);
    if (threadError != 0) {
        events.push_back("CreateThread failed");
        SetLastError(threadError);
        return nullptr;
    }
    events.push_back("worker for " + Describe(static_cast<HANDLE>(instance)));
    return ThreadHandle(IndexOf(static_cast<HANDLE>(instance)));
}
BOOL WINAPI FakeClose(HANDLE handle)
{
    events.push_back("CloseHandle(" + Describe(handle) + ")");
    return TRUE;
}

const wchar_t PIPE[] = L"\\\\.\\pipe\\listener-test";
const std::string AWAITING = Awaiting(PIPE);
const std::string GAVE_UP = PipeRefused(ERROR_PIPE_BUSY);

struct ListenerCase {
    const char* name;
    Wait wait;
    std::string messages;
    std::vector<std::string> events;
};

const std::vector<std::string> SERVED = {"worker for instance 1", "CloseHandle(thread 1)"};
const std::vector<std::string> CLOSED = {"CloseHandle(instance 1)"};

const ListenerCase CASES[] = {
    {"connected during the wait", {TRUE, 0, FALSE, 0}, AWAITING + CONNECTED + AWAITING + GAVE_UP, SERVED},
    {"connected before the wait",
     {FALSE, ERROR_PIPE_CONNECTED, FALSE, 0},
     AWAITING + CONNECTED + AWAITING + GAVE_UP,
     SERVED},
    {"gone before the wait leaving its job",
     {FALSE, ERROR_NO_DATA, TRUE, 1},
     AWAITING + CONNECTED + AWAITING + GAVE_UP,
     SERVED},
    {"gone before the wait leaving nothing",
     {FALSE, ERROR_NO_DATA, TRUE, 0},
     AWAITING + AWAITING + GAVE_UP,
     CLOSED},
    {"gone before the wait and peek fails",
     {FALSE, ERROR_NO_DATA, FALSE, 0},
     AWAITING + AWAITING + GAVE_UP,
     CLOSED},
    {"wait fails otherwise", {FALSE, ERROR_INVALID_HANDLE, TRUE, 5}, AWAITING + AWAITING + GAVE_UP, CLOSED},
};

class Listener : public testing::Test {
protected:
    void SetUp() override
    {
        captureSettings.pipeName = PIPE;
        waits.clear();
        events.clear();
        openModes.clear();
        creationError = 231;  // ERROR_PIPE_BUSY
        threadError = 0;
        systemCalls = REAL_SYSTEM_CALLS;
        systemCalls.CreateNamedPipeW = FakeCreateNamedPipe;
        systemCalls.ConnectNamedPipe = FakeConnect;
        systemCalls.PeekNamedPipe = FakePeek;
        systemCalls.CreateThread = FakeCreateThread;
        systemCalls.CloseHandle = FakeClose;
    }
    void TearDown() override { systemCalls = REAL_SYSTEM_CALLS; }
    CapturedOutput output_;
};

class ListenerWait : public Listener, public testing::WithParamInterface<ListenerCase> {};

TEST_P(ListenerWait, ServesOrClosesTheInstanceAndGoesOn)
{
    waits = {GetParam().wait};
    EXPECT_EQ(ListenLoop(), -1);
    EXPECT_EQ(output_.Text(), GetParam().messages);
    EXPECT_EQ(events, GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ListenerWait, testing::ValuesIn(CASES), [](const auto& info) {
    std::string name;
    for (const char* c = info.param.name; *c; ++c) name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
});

TEST_F(Listener, OnlyTheFirstInstanceClaimsThePipeName)
{
    waits = {{TRUE, 0, FALSE, 0}, {FALSE, ERROR_NO_DATA, TRUE, 0}, {TRUE, 0, FALSE, 0}};
    EXPECT_EQ(ListenLoop(), -1);
    const DWORD inbound = PIPE_ACCESS_INBOUND;
    EXPECT_EQ(openModes,
              (std::vector<DWORD>{inbound | FILE_FLAG_FIRST_PIPE_INSTANCE, inbound, inbound, inbound}));
}

TEST_F(Listener, ANameAlreadyServedEndsTheRunWithAccessDenied)
{
    // What Windows answers when another process created the pipe first.
    creationError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(ListenLoop(), -1);
    EXPECT_EQ(output_.Text(), AWAITING + PipeRefused(ERROR_ACCESS_DENIED));
    EXPECT_EQ(openModes, std::vector<DWORD>{PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE});
}

TEST_F(Listener, AWorkerThatCannotStartEndsTheRun)
{
    waits = {{TRUE, 0, FALSE, 0}, {TRUE, 0, FALSE, 0}};
    threadError = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_EQ(ListenLoop(), -1);
    EXPECT_EQ(output_.Text(), AWAITING + CONNECTED + ThreadRefused(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(events, (std::vector<std::string>{"CreateThread failed", "CloseHandle(instance 1)"}));
}

TEST_F(Listener, EachPrinterGetsItsOwnWorkerInTurn)
{
    waits = {{TRUE, 0, FALSE, 0}, {FALSE, ERROR_PIPE_CONNECTED, FALSE, 0}, {TRUE, 0, FALSE, 0}};
    creationError = ERROR_INVALID_NAME;
    EXPECT_EQ(ListenLoop(), -1);
    std::string turn = AWAITING + CONNECTED;
    EXPECT_EQ(output_.Text(), turn + turn + turn + AWAITING + PipeRefused(ERROR_INVALID_NAME));
    EXPECT_EQ(events, (std::vector<std::string>{"worker for instance 1", "CloseHandle(thread 1)",
                                                "worker for instance 2", "CloseHandle(thread 2)",
                                                "worker for instance 3", "CloseHandle(thread 3)"}));
}

}  // namespace
