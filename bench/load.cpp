// A load generator that acts as many printers on one pipe.
//   load.exe wait PIPE                        returns once the pipe exists (60 s at most)
//   load.exe parallel PIPE PRINTERS BYTES [FOLDER]   PRINTERS printers at once, BYTES each
//   load.exe serial PIPE JOBS BYTES [FOLDER]         one printer, JOBS jobs back to back
//   load.exe whole PIPE JOBS BYTES [FOLDER]          the same, each job in a single write, so
//                                                     the server's reads never find the pipe empty
//   load.exe hold PIPE PRINTERS BYTES [FOLDER]       all PRINTERS connected at once, then each
//                                                     sends its job and closes
//   load.exe check JOBS BYTES FOLDER [SECONDS]       only checks FOLDER for those jobs, waiting
//                                                     up to SECONDS for the last files to land
// Every job is different: it starts with "job%08d\n" and goes on in a pattern of its own, so a
// lost, repeated or misplaced chunk shows. With FOLDER, where the server writes the jobs and
// nothing else, it waits for every file to land and checks each one byte for byte.
// Prints one line, "printers=.. jobs=.. bytes=.. seconds=.. whole=..", and exits with 0 when
// every job was sent (and, with FOLDER, landed) whole. Every time limit is multiplied by
// KESTRUM_TIMEOUT_SCALE, as the tests' are.
#include "harness/harness.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD SEND_CHUNK = 65536;
const DWORD CHECK_CHUNK = 1 << 20;
const DWORD PATTERN_PERIOD = 251;  // prime, so no chunk size lines up with it
const DWORD HEADER_SIZE = 12;
const DWORD CONNECT_TIMEOUT_MS = 60000;
// While holding printers, a pipe that takes no more printers for this long has a server that
// has stopped (a server that cannot start a thread exits): the hold ends there.
const DWORD NEXT_PRINTER_TIMEOUT_MS = 5000;
const DWORD LANDING_TIMEOUT_MS = 120000;

struct Load {
    const wchar_t* pipeName;
    int jobs;
    uint64_t bytes;
    DWORD sendChunk;
    DWORD timeoutScale;
};
Load load;

// The job's bytes from offset `start` on, for `length` bytes; `pattern` is PatternOf(job) at
// least `length` long.
const unsigned char* JobBytes(int job, const std::vector<unsigned char>& pattern, uint64_t start,
                              std::vector<unsigned char>& scratch, DWORD length)
{
    const unsigned char* bytes = pattern.data() + start % PATTERN_PERIOD;
    if (start >= HEADER_SIZE) return bytes;
    scratch.assign(bytes, bytes + length);
    char header[HEADER_SIZE + 1];
    snprintf(header, sizeof header, "job%08d\n", job);
    for (uint64_t at = start; at < HEADER_SIZE && at - start < length; ++at) {
        scratch[static_cast<size_t>(at - start)] = static_cast<unsigned char>(header[at]);
    }
    return scratch.data();
}

// Each job's pattern differs from every other's within any stretch of two bytes.
std::vector<unsigned char> PatternOf(int job, DWORD length)
{
    unsigned step = 1 + static_cast<unsigned>(job) % 250, offset = static_cast<unsigned>(job) / 250;
    std::vector<unsigned char> pattern(length + PATTERN_PERIOD);
    for (size_t at = 0; at < pattern.size(); ++at) {
        pattern[at] = static_cast<unsigned char>(at % PATTERN_PERIOD * step + offset);
    }
    return pattern;
}

double Now()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool SendJob(HANDLE pipe, int job)
{
    std::vector<unsigned char> pattern =
        PatternOf(job, load.bytes < load.sendChunk ? static_cast<DWORD>(load.bytes) : load.sendChunk);
    std::vector<unsigned char> scratch;
    bool whole = true;
    for (uint64_t sent = 0; whole && sent < load.bytes;) {
        DWORD length =
            static_cast<DWORD>(load.bytes - sent < load.sendChunk ? load.bytes - sent : load.sendChunk);
        DWORD written = 0;
        whole = WriteFile(pipe, JobBytes(job, pattern, sent, scratch, length), length, &written, nullptr) &&
                written == length;
        sent += written;
    }
    CloseHandle(pipe);
    return whole;
}

struct Printer {
    int job;
    bool whole;
};

DWORD WINAPI PrintOneJob(LPVOID argument)
{
    Printer* printer = static_cast<Printer*>(argument);
    HANDLE pipe = OpenPrinter(load.pipeName, CONNECT_TIMEOUT_MS * load.timeoutScale);
    printer->whole = pipe != INVALID_HANDLE_VALUE && SendJob(pipe, printer->job);
    return 0;
}

// The number of jobs in FOLDER found whole: each file one job, each job in one file.
// The server may still be writing the last jobs: it waits up to `waitMs` for enough files.
int CheckFolder(const std::wstring& folder, DWORD waitMs)
{
    std::vector<std::wstring> names;
    for (DWORD started = GetTickCount();; Sleep(20)) {
        names.clear();
        bool allFull = true;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            names.push_back(folder + L"\\" + found.cFileName);
            uint64_t size = (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            if (size != load.bytes) allFull = false;
        } while (FindNextFileW(search, &found));
        FindClose(search);
        if ((allFull && static_cast<int>(names.size()) >= load.jobs) || GetTickCount() - started >= waitMs)
            break;
    }

    std::vector<bool> seen(static_cast<size_t>(load.jobs), false);
    std::vector<unsigned char> content(CHECK_CHUNK), scratch;
    int whole = 0;
    for (const std::wstring& name : names) {
        HANDLE file = INVALID_HANDLE_VALUE;
        // The server holds each file without sharing until its job has ended.
        for (int attempt = 0; attempt < 600 && file == INVALID_HANDLE_VALUE; ++attempt) {
            file =
                CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) Sleep(100);
        }
        if (file == INVALID_HANDLE_VALUE) continue;
        DWORD bytesRead = 0;
        int job = -1;
        char header[HEADER_SIZE + 1] = {};
        if (ReadFile(file, header, HEADER_SIZE, &bytesRead, nullptr) && bytesRead == HEADER_SIZE &&
            sscanf(header, "job%8d\n", &job) == 1 && job >= 0 && job < load.jobs && !seen[job]) {
            std::vector<unsigned char> pattern = PatternOf(job, CHECK_CHUNK);
            bool same = memcmp(header, JobBytes(job, pattern, 0, scratch, HEADER_SIZE), HEADER_SIZE) == 0;
            uint64_t checked = HEADER_SIZE;
            while (same && ReadFile(file, content.data(), CHECK_CHUNK, &bytesRead, nullptr) &&
                   bytesRead > 0) {
                same = checked + bytesRead <= load.bytes &&
                       memcmp(content.data(), JobBytes(job, pattern, checked, scratch, bytesRead),
                              bytesRead) == 0;
                checked += bytesRead;
            }
            if (same && checked == load.bytes) {
                seen[job] = true;
                ++whole;
            }
        }
        CloseHandle(file);
    }
    return static_cast<int>(names.size()) == load.jobs ? whole : 0;
}

int Report(int printers, double seconds, int sentWhole, const wchar_t* folder)
{
    int whole = sentWhole;
    if (folder != nullptr && sentWhole == load.jobs) {
        whole = CheckFolder(folder, LANDING_TIMEOUT_MS * load.timeoutScale);
    }
    printf("printers=%d jobs=%d bytes=%llu seconds=%.4f whole=%d\n", printers, load.jobs,
           static_cast<unsigned long long>(load.bytes) * static_cast<unsigned>(load.jobs), seconds, whole);
    return whole == load.jobs ? 0 : 1;
}

}  // namespace

int wmain(int argumentCount, wchar_t** arguments)
{
    load.timeoutScale = TimeoutScale();
    if (argumentCount == 3 && wcscmp(arguments[1], L"wait") == 0) {
        DWORD timeoutMs = CONNECT_TIMEOUT_MS * load.timeoutScale;
        for (DWORD started = GetTickCount(); GetTickCount() - started < timeoutMs; Sleep(50)) {
            if (WaitNamedPipeW(arguments[2], 0) || GetLastError() != ERROR_FILE_NOT_FOUND) return 0;
        }
        printf("no pipe %ls\n", arguments[2]);
        return 1;
    }
    if ((argumentCount == 5 || argumentCount == 6) && wcscmp(arguments[1], L"check") == 0) {
        load.jobs = _wtoi(arguments[2]);
        load.bytes = _wcstoui64(arguments[3], nullptr, 10);
        DWORD waitMs = argumentCount == 6 ? 1000 * static_cast<DWORD>(_wtoi(arguments[5])) : 0;
        int whole = CheckFolder(arguments[4], waitMs);
        printf("jobs=%d whole=%d\n", load.jobs, whole);
        return whole == load.jobs ? 0 : 1;
    }
    if (argumentCount != 5 && argumentCount != 6) {
        fwprintf(stderr,
                 L"usage: load wait PIPE | load parallel|serial|whole|hold PIPE COUNT BYTES [FOLDER]"
                 L" | load check JOBS BYTES FOLDER [SECONDS]\n");
        return 2;
    }
    std::wstring mode = arguments[1];
    load.pipeName = arguments[2];
    load.jobs = _wtoi(arguments[3]);
    load.bytes = _wcstoui64(arguments[4], nullptr, 10);
    const wchar_t* folder = argumentCount == 6 ? arguments[5] : nullptr;
    if (load.jobs < 1 || load.bytes < HEADER_SIZE) {
        fwprintf(stderr, L"load: COUNT must be 1 or more and BYTES %lu or more\n", HEADER_SIZE);
        return 2;
    }

    int whole = 0;
    load.sendChunk = SEND_CHUNK;
    if (mode == L"whole") {
        if (load.bytes > MAXDWORD) {
            fwprintf(stderr, L"load: a job in one write holds at most %lu bytes\n", MAXDWORD);
            return 2;
        }
        load.sendChunk = static_cast<DWORD>(load.bytes);
    }
    if (mode == L"serial" || mode == L"whole") {
        double started = Now();
        for (int job = 0; job < load.jobs; ++job) {
            HANDLE pipe = OpenPrinter(load.pipeName, CONNECT_TIMEOUT_MS * load.timeoutScale);
            if (pipe == INVALID_HANDLE_VALUE) break;
            if (SendJob(pipe, job)) ++whole;
        }
        return Report(1, Now() - started, whole, folder);
    }
    if (mode == L"parallel") {
        std::vector<Printer> printers(static_cast<size_t>(load.jobs));
        std::vector<HANDLE> threads;
        double started = Now();
        for (int job = 0; job < load.jobs; ++job) {
            printers[job] = {job, false};
            HANDLE thread = CreateThread(nullptr, 0, PrintOneJob, &printers[job], 0, nullptr);
            if (thread != nullptr) threads.push_back(thread);
        }
        for (HANDLE thread : threads) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        double seconds = Now() - started;
        for (const Printer& printer : printers) whole += printer.whole ? 1 : 0;
        return Report(load.jobs, seconds, whole, folder);
    }
    if (mode == L"hold") {
        std::vector<HANDLE> held;
        double started = Now();
        DWORD error = 0;
        while (static_cast<int>(held.size()) < load.jobs) {
            DWORD timeoutMs = held.empty() ? CONNECT_TIMEOUT_MS : NEXT_PRINTER_TIMEOUT_MS;
            HANDLE pipe = OpenPrinter(load.pipeName, timeoutMs * load.timeoutScale);
            if (pipe == INVALID_HANDLE_VALUE) {
                error = GetLastError();
                break;
            }
            held.push_back(pipe);
        }
        double seconds = Now() - started;
        if (static_cast<int>(held.size()) < load.jobs) {
            printf("held %u of %d printers, then GLE=%lu\n", static_cast<unsigned>(held.size()), load.jobs,
                   error);
        }
        for (size_t job = 0; job < held.size(); ++job)
            whole += SendJob(held[job], static_cast<int>(job)) ? 1 : 0;
        return Report(static_cast<int>(held.size()), seconds, whole, folder);
    }
    fwprintf(stderr, L"load: unknown mode %ls\n", mode.c_str());
    return 2;
}
