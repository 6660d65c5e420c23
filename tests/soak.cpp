// Soak: starts kestrum.exe itself, sends it thousands of jobs of mixed sizes from many
// printers at once, some of them slow, checks every file by size and hash, and compares the
// server's handle count and resident memory after the first hundred jobs with those after the
// last.
//   soak.exe FOLDER [JOBS [PRINTERS]]    (the kestrum.exe beside it)
// FOLDER must exist and is emptied as the jobs are checked. Exit code 0 when every job landed
// whole, nothing failed, and handles and memory held within their bounds.
#include "harness/harness.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const int FIRST_ROUND = 100;
const int ROUND = 500;
const size_t MAX_JOB = 4 * 1024 * 1024;
const int SLOW_PRINTERS = 4;  // the first ones; they write 4 KiB at a time with a pause
const DWORD HANDLE_BOUND = 10;
const SIZE_T MEMORY_BOUND = 16 * 1024 * 1024;

uint64_t Hash(const std::string& bytes)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// Job `index`'s bytes: mostly small, some of every size up to 4 MiB, some empty, some exactly 4 MiB.
std::string JobBytes(int index)
{
    std::mt19937 generator(static_cast<uint32_t>(index) * 2654435761u + 1);
    uint32_t kind = generator() % 100;
    size_t size;
    if (kind < 5) {
        size = 0;
    } else if (kind < 7) {
        size = MAX_JOB;
    } else {
        double exponent = std::uniform_real_distribution<double>(0.0, 22.0)(generator);
        size = std::min(MAX_JOB, static_cast<size_t>(std::pow(2.0, exponent)));
    }
    std::string bytes = "%!PS soak job " + std::to_string(index) + "\n";
    bytes.resize(size, '\0');
    for (size_t at = std::min(size, size_t{24}); at < size; ++at) bytes[at] = static_cast<char>(generator());
    return bytes;
}

struct Usage {
    DWORD handles;
    SIZE_T residentBytes;
};

// Wine answers GetProcessHandleCount with 0 for every process; its system-wide handle list is
// real, so the server's handles are counted there instead.
DWORD CountHandlesInSystemList(DWORD processId)
{
    struct Entry {
        ULONG ownerProcessId;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    using QuerySystem = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    const ULONG SYSTEM_HANDLE_INFORMATION = 16;
    const NTSTATUS INFO_LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004L);
    auto query = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return 0;
    std::vector<char> buffer(1 << 20);
    NTSTATUS status;
    ULONG length = 0;
    while ((status = query(SYSTEM_HANDLE_INFORMATION, buffer.data(), static_cast<ULONG>(buffer.size()),
                           &length)) == INFO_LENGTH_MISMATCH)
        buffer.resize(buffer.size() * 2);
    if (status != 0) return 0;
    ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const Entry* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    DWORD owned = 0;
    for (ULONG at = 0; at < count; ++at) owned += entries[at].ownerProcessId == processId;
    return owned;
}

Usage Measure(HANDLE process)
{
    Usage usage = {0, 0};
    if (!GetProcessHandleCount(process, &usage.handles) || usage.handles == 0)
        usage.handles = CountHandlesInSystemList(GetProcessId(process));
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (K32GetProcessMemoryInfo(process, &counters, sizeof counters))
        usage.residentBytes = counters.WorkingSetSize;
    return usage;
}

// Reads every file in the folder, checks it against the jobs not yet seen, and deletes it.
// Returns the number of files that matched no job.
int CheckAndClear(const std::wstring& folder, std::map<std::pair<size_t, uint64_t>, int>& pending,
                  std::set<long>& numbers)
{
    int strays = 0;
    for (const std::wstring& name : FileNames(folder)) {
        std::wstring path = folder + L"\\" + name;
        std::string bytes = ReadBytes(path);
        auto match = pending.find({bytes.size(), Hash(bytes)});
        if (match == pending.end()) {
            ++strays;
            wprintf(L"soak: %ls holds no job sent (%u bytes)\n", name.c_str(),
                    static_cast<unsigned>(bytes.size()));
        } else if (--match->second == 0) {
            pending.erase(match);
        }
        numbers.insert(wcstol(name.c_str() + 3, nullptr, 10));
        DeleteFileW(path.c_str());
    }
    return strays;
}

}  // namespace

int wmain(int argumentCount, wchar_t** arguments)
{
    if (argumentCount < 2 || argumentCount > 4) {
        fwprintf(stderr, L"usage: soak FOLDER [JOBS [PRINTERS]]\n");
        return 2;
    }
    std::wstring folder = arguments[1];
    int jobCount = argumentCount > 2 ? _wtoi(arguments[2]) : 10000;
    int printerCount = argumentCount > 3 ? _wtoi(arguments[3]) : 16;
    std::wstring pipe = L"\\\\.\\pipe\\kestrum-soak-" + std::to_wstring(GetCurrentProcessId());
    Server server;
    server.Start({pipe, folder + L"\\Out%04ld.ps"});
    if (!server.Running()) {
        fwprintf(stderr, L"soak: cannot start kestrum.exe\n");
        return 1;
    }

    ULONGLONG started = GetTickCount64();
    std::map<std::pair<size_t, uint64_t>, int> pending;
    std::set<long> numbers;
    long long bytesSent = 0;
    std::atomic<int> unsent{0};
    int strays = 0;
    Usage first = {0, 0}, last = {0, 0};
    bool stalled = false;
    // A printer that connects and closes without a byte before the server's wait begins is no
    // job: the server closes that instance and uses no number. Every other job must land.
    int emptySent = 0;
    for (int done = 0; done < jobCount && !stalled;) {
        int roundEnd = std::min(jobCount, done == 0 ? FIRST_ROUND : done + ROUND);
        for (int index = done; index < roundEnd; ++index) {
            std::string bytes = JobBytes(index);
            ++pending[{bytes.size(), Hash(bytes)}];
            bytesSent += static_cast<long long>(bytes.size());
            emptySent += bytes.empty();
        }
        std::vector<std::thread> printers;
        for (int printer = 0; printer < printerCount; ++printer) {
            printers.emplace_back([&, printer, done, roundEnd] {
                for (int index = done + printer; index < roundEnd; index += printerCount) {
                    std::string bytes = JobBytes(index);
                    bool slow = printer < SLOW_PRINTERS;
                    if (SendJob(pipe, bytes, slow ? 4096 : 65536, slow ? 1 : 0, 60000) != bytes.size()) ++unsent;
                }
            });
        }
        for (std::thread& printer : printers) printer.join();
        // Every printer has closed its end; wait until the server has finished all but the
        // empty jobs, and then until it has been quiet for a second.
        ULONGLONG deadline = GetTickCount64() + 600000;
        long long seen = -1;
        ULONGLONG quietSince = GetTickCount64();
        for (;;) {
            long long finished = Count(server.Log(), THREAD_EXIT);
            if (finished != seen) {
                seen = finished;
                quietSince = GetTickCount64();
            }
            if (finished >= roundEnd ||
                (finished >= roundEnd - emptySent && GetTickCount64() - quietSince > 1000))
                break;
            if (GetTickCount64() > deadline || !server.Running()) {
                stalled = true;
                break;
            }
            Sleep(20);
        }
        strays += CheckAndClear(folder, pending, numbers);
        done = roundEnd;
        Sleep(200);  // let the last workers' releases settle before measuring
        Usage now = Measure(server.Process());
        if (done == std::min(jobCount, FIRST_ROUND)) first = now;
        last = now;
        printf("soak: %d jobs, %lu handles, %.1f MiB resident, %.0f s\n", done, now.handles,
               static_cast<double>(now.residentBytes) / 1048576.0,
               static_cast<double>(GetTickCount64() - started) / 1000.0);
        fflush(stdout);
    }
    double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;

    std::string log = server.Log();
    server.Stop();
    // The server's account: every message but the awaiting and creation ones counted.
    long long finished = 0, disconnected = 0, bytesReceived = 0;
    std::vector<std::string> unexpected;
    std::string created = Created(folder + L"\\Out");
    created.resize(created.size() - 2);
    for (const std::string& message : Messages(log)) {
        size_t chunk = 0;
        if (message == THREAD_EXIT) {
            ++finished;
        } else if (message == DISCONNECTED) {
            ++disconnected;
        } else if (ParseReceived(message, &chunk)) {
            bytesReceived += static_cast<long long>(chunk);
        } else if (message != Awaiting(pipe) && message != CONNECTED &&
                   message.compare(0, created.size(), created) != 0) {
            unexpected.push_back(message);
        }
    }

    // What is left pending must be empty jobs the server never took; the files it made must
    // carry the numbers 1..served without a gap.
    int missing = 0, emptyNotTaken = 0;
    for (const auto& job : pending) (job.first.first == 0 ? emptyNotTaken : missing) += job.second;
    long long served = jobCount - emptyNotTaken;
    bool numbered = static_cast<long long>(numbers.size()) == served &&
                    (served == 0 || (*numbers.begin() == 1 && *numbers.rbegin() == served));
    long long handleGrowth = static_cast<long long>(last.handles) - static_cast<long long>(first.handles);
    long long memoryGrowth =
        static_cast<long long>(last.residentBytes) - static_cast<long long>(first.residentBytes);
    printf("soak: %d jobs (%.1f MiB) from %d printers (%d slow) in %.0f s\n", jobCount,
           static_cast<double>(bytesSent) / 1048576.0, printerCount, std::min(SLOW_PRINTERS, printerCount),
           seconds);
    printf("soak: %d missing or cut, %d files matching no job, %d not sent whole, "
           "%d of %d empty jobs closed before they were taken, numbered 1..%lld: %s\n",
           missing, strays, unsent.load(), emptyNotTaken, emptySent, served, numbered ? "yes" : "no");
    printf("soak: server logged %lld finished, %lld disconnected, %lld of %lld bytes, %u other lines\n",
           finished, disconnected, bytesReceived, bytesSent, static_cast<unsigned>(unexpected.size()));
    for (size_t line = 0; line < unexpected.size() && line < 10; ++line)
        printf("soak:   %s", unexpected[line].c_str());
    printf("soak: handles %lu after %d jobs, %lu after %d (%+lld); resident %.1f MiB, %.1f MiB (%+.1f MiB)\n",
           first.handles, FIRST_ROUND, last.handles, jobCount, handleGrowth,
           static_cast<double>(first.residentBytes) / 1048576.0,
           static_cast<double>(last.residentBytes) / 1048576.0,
           static_cast<double>(memoryGrowth) / 1048576.0);
    bool whole = !stalled && missing == 0 && strays == 0 && unsent == 0 && numbered &&
                 finished == served && disconnected == served && bytesReceived == bytesSent && unexpected.empty();
    bool held = handleGrowth <= static_cast<long long>(HANDLE_BOUND) &&
                memoryGrowth <= static_cast<long long>(MEMORY_BOUND) && first.handles != 0 &&
                first.residentBytes != 0;
    printf("soak: %s\n", whole && held ? "passed"
                         : !whole      ? "FAILED: jobs lost or failed"
                                       : "FAILED: handles or memory grew");
    return whole && held ? 0 : 1;
}
