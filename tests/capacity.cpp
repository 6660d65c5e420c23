// Holds many printers connected at once, then has each send a job of its own, and checks
// that every job landed whole. Measures how many printers the server serves side by side.
//   capacity.exe PIPE COUNT FOLDER
// FOLDER is where the server writes the jobs (nothing else may be in it). Exit code 0 when
// all COUNT printers were connected at once and all COUNT jobs landed byte for byte.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

std::string JobOf(int printer)
{
    std::string job = "%!PS job of printer " + std::to_string(printer) + "\n";
    while (job.size() < 3000) job += "% filler line " + std::to_string(job.size()) + "\n";
    return job;
}

}  // namespace

int wmain(int argumentCount, wchar_t** arguments)
{
    if (argumentCount != 4) {
        fwprintf(stderr, L"usage: capacity PIPE COUNT FOLDER\n");
        return 2;
    }
    const wchar_t* pipeName = arguments[1];
    int count = _wtoi(arguments[2]);
    std::wstring folder = arguments[3];

    std::vector<HANDLE> printers;
    DWORD started = GetTickCount();
    while (static_cast<int>(printers.size()) < count) {
        HANDLE pipe = CreateFileW(pipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            printers.push_back(pipe);
            continue;
        }
        DWORD error = GetLastError();
        // No pipe at all once printers are connected means the server has gone.
        bool serverGone = error == ERROR_FILE_NOT_FOUND && !printers.empty();
        if ((error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND) || serverGone ||
            GetTickCount() - started > 600000) {
            printf("connected %u of %d printers, then GLE=%lu\n", static_cast<unsigned>(printers.size()),
                   count, error);
            return 1;
        }
        WaitNamedPipeW(pipeName, 100);
    }
    printf("connected %d printers at once in %lu ms\n", count, GetTickCount() - started);

    int cutShort = 0;
    for (int printer = 0; printer < count; ++printer) {
        std::string job = JobOf(printer);
        DWORD written = 0;
        if (!WriteFile(printers[printer], job.data(), static_cast<DWORD>(job.size()), &written, nullptr) ||
            written != job.size()) {
            ++cutShort;
        }
        CloseHandle(printers[printer]);
    }

    std::set<std::string> expected;
    for (int printer = 0; printer < count; ++printer) expected.insert(JobOf(printer));
    std::set<std::string> landed;
    for (int attempt = 0; attempt < 600 && landed.size() < expected.size(); ++attempt) {
        Sleep(attempt == 0 ? 0 : 500);
        landed.clear();
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            HANDLE file = CreateFileW((folder + L"\\" + found.cFileName).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) continue;
            std::string content(found.nFileSizeLow, '\0');
            DWORD bytesRead = 0;
            if (!content.empty()) ReadFile(file, &content[0], found.nFileSizeLow, &bytesRead, nullptr);
            CloseHandle(file);
            if (bytesRead == content.size() && expected.count(content)) landed.insert(content);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    printf("%u of %d jobs landed whole, %d cut short while sending\n", static_cast<unsigned>(landed.size()),
           count, cutShort);
    return landed.size() == expected.size() && cutShort == 0 ? 0 : 1;
}
