#include "launcher/launcher.h"

#include "launcher/launcher_calls.h"
#include "platform/console.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

namespace {

const wchar_t DEFAULT_PIPE[] = L"\\\\.\\pipe\\kestrum";
// A path of Windows' longest form, and room for a line's words around two of them.
const int LINE_CAPACITY = 3 * 32768;

// ROOT\kestrum-run.log once it is open; until then lines go to the window only.
HANDLE launcherLog = INVALID_HANDLE_VALUE;

// Writes "2026-12-10 14:03:07 text" as one line to the window and, with one WriteFile, to the
// launcher's log, which is opened for appending: lines of two launchers on one ROOT never mix.
void Report(const wchar_t* format, ...)
{
    std::vector<wchar_t> text(LINE_CAPACITY);
    va_list arguments;
    va_start(arguments, format);
    int length = vswprintf(text.data(), text.size(), format, arguments);
    va_end(arguments);
    if (length < 0 || length >= LINE_CAPACITY) return;
    SYSTEMTIME now = {};
    launcherCalls.GetLocalTime(&now);
    wchar_t stamp[32];
    swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    std::wstring line = stamp + std::wstring(text.data(), static_cast<size_t>(length)) + L"\n";
    PrintWideMessage(L"%ls", line.c_str());
    if (launcherLog == INVALID_HANDLE_VALUE) return;
    int lineLength = static_cast<int>(line.size());
    std::vector<char> bytes(3 * line.size());
    int byteCount = WideCharToMultiByte(CP_UTF8, 0, line.data(), lineLength, bytes.data(),
                                        static_cast<int>(bytes.size()), nullptr, nullptr);
    DWORD written = 0;
    launcherCalls.WriteFile(launcherLog, bytes.data(), static_cast<DWORD>(byteCount), &written, nullptr);
}

bool IsSeparator(wchar_t character) { return character == L'\\' || character == L'/'; }

bool IsFolder(const std::wstring& path)
{
    DWORD attributes = launcherCalls.GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Makes the folder and its missing parents: 0, or the error of the first folder not made.
DWORD MakeFolder(const std::wstring& path)
{
    if (IsFolder(path)) return 0;
    size_t parentEnd = path.find_last_of(L"\\/");
    // A drive (X:) or a share (\\server\share) is never made here.
    if (parentEnd != std::wstring::npos && parentEnd >= 3) {
        DWORD parentError = MakeFolder(path.substr(0, parentEnd));
        if (parentError != 0) return parentError;
    }
    if (launcherCalls.CreateDirectoryW(path.c_str(), nullptr)) return 0;
    DWORD error = GetLastError();
    // Another launcher on the same ROOT made it first.
    return error == ERROR_ALREADY_EXISTS && IsFolder(path) ? 0 : error;
}

// A file handle for appending; inheritable when kestrum.exe is to write to it.
HANDLE OpenForAppending(const std::wstring& path, BOOL inheritable)
{
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, inheritable};
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of the file, even
    // when another process appends to it too.
    return launcherCalls.CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The folder of kestrum-run.exe, where kestrum.exe lies too.
std::wstring OwnFolder()
{
    std::vector<wchar_t> path(32768);
    DWORD length = launcherCalls.GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring own(path.data(), length);
    size_t end = own.find_last_of(L'\\');
    return end == std::wstring::npos ? std::wstring() : own.substr(0, end);
}

// A job object that ends every process in it when its last handle closes: when the launcher
// ends, however it ends, so does kestrum.exe. Nested in a task's own job, as Windows 8 allows.
HANDLE MakeServerJob()
{
    HANDLE job = launcherCalls.CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!launcherCalls.SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                               sizeof limits)) {
        DWORD error = GetLastError();
        launcherCalls.CloseHandle(job);
        SetLastError(error);
        return nullptr;
    }
    return job;
}

struct RunEnd {
    int launcherCode;  // 0 when the run started and ended; else the launcher's own exit code
    DWORD serverCode;
    ULONGLONG servedMs;
};

// Starts kestrum.exe for one run, in the job, its output appended to the run's kestrum.log and
// its input empty, and waits for its end.
RunEnd ServeOneRun(HANDLE job, const std::wstring& server, const std::wstring& pipe,
                   const std::wstring& runFolder)
{
    std::wstring logPath = runFolder + L"\\kestrum.log";
    HANDLE runLog = OpenForAppending(logPath, TRUE);
    if (runLog == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Report(L"kestrum-run: cannot open %ls, GLE=%d.", logPath.c_str(), static_cast<int>(error));
        return {EXIT_NO_SERVER, 0, 0};
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE nul = launcherCalls.CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                           OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = runLog;
    startup.hStdError = runLog;
    std::wstring commandLine = QuotedArgument(server) + L" " + QuotedArgument(pipe) + L" " +
                               QuotedArgument(OutputTemplate(runFolder));
    PROCESS_INFORMATION process = {};
    // No console for kestrum.exe: Ctrl+C and closing the window reach the launcher alone, which
    // ends, and the job ends kestrum.exe; a run never sees them and is never restarted for them.
    BOOL started = launcherCalls.CreateProcessW(server.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                                CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr,
                                                &startup, &process);
    DWORD error = GetLastError();
    launcherCalls.CloseHandle(runLog);
    if (nul != INVALID_HANDLE_VALUE) launcherCalls.CloseHandle(nul);
    if (!started) {
        Report(L"kestrum-run: cannot start %ls, GLE=%d.", server.c_str(), static_cast<int>(error));
        return {EXIT_NO_SERVER, 0, 0};
    }
    // Suspended until it is in the job, so not one instruction of it runs outside.
    if (!launcherCalls.AssignProcessToJobObject(job, process.hProcess)) {
        error = GetLastError();
        launcherCalls.TerminateProcess(process.hProcess, 1);
        launcherCalls.CloseHandle(process.hThread);
        launcherCalls.CloseHandle(process.hProcess);
        Report(L"kestrum-run: cannot start %ls, GLE=%d.", server.c_str(), static_cast<int>(error));
        return {EXIT_NO_SERVER, 0, 0};
    }
    Report(L"run started in %ls.", runFolder.c_str());
    ULONGLONG startMs = launcherCalls.GetTickCount64();
    launcherCalls.ResumeThread(process.hThread);
    launcherCalls.CloseHandle(process.hThread);
    launcherCalls.WaitForSingleObject(process.hProcess, INFINITE);
    RunEnd end = {0, 0, launcherCalls.GetTickCount64() - startMs};
    launcherCalls.GetExitCodeProcess(process.hProcess, &end.serverCode);
    launcherCalls.CloseHandle(process.hProcess);
    return end;
}

}  // namespace

bool IsFullPath(const std::wstring& path)
{
    if (path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && IsSeparator(path[2])) return true;
    if (path.size() < 5 || path[0] != L'\\' || path[1] != L'\\') return false;
    size_t shareStart = path.find(L'\\', 2);
    return shareStart != std::wstring::npos && shareStart > 2 && shareStart + 1 < path.size() &&
           !IsSeparator(path[shareStart + 1]);
}

std::wstring OutputTemplate(const std::wstring& runFolder)
{
    std::wstring outputTemplate;
    for (wchar_t character : runFolder) {
        if (character == L'%') outputTemplate += L'%';
        outputTemplate += character;
    }
    return outputTemplate + L"\\Out%04ld.ps";
}

std::wstring QuotedArgument(const std::wstring& argument)
{
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t character : argument) {
        if (character == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them: then each is doubled, and the
        // quote escaped by one more.
        quoted.append(character == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += character;
    }
    // Before the closing quote, as before any quote.
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

unsigned long HighestRunNumber(const std::wstring& root)
{
    unsigned long highest = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = launcherCalls.FindFirstFileW((root + L"\\Run*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        const wchar_t* digits = found.cFileName + 3;
        size_t digitCount = wcsspn(digits, L"0123456789");
        // Past 9 digits a number could overflow; no run takes that many.
        if (wcsncmp(found.cFileName, L"Run", 3) != 0 || digits[digitCount] != L'\0' || digitCount < 4 ||
            digitCount > 9)
            continue;
        unsigned long number = wcstoul(digits, nullptr, 10);
        if (number > highest) highest = number;
    } while (launcherCalls.FindNextFileW(search, &found));
    launcherCalls.FindClose(search);
    return highest;
}

DWORD MakeRunFolder(const std::wstring& root, std::wstring* runFolder)
{
    unsigned long number = HighestRunNumber(root);
    for (;;) {
        ++number;
        wchar_t name[32];
        swprintf(name, 32, L"\\Run%04lu", number);
        *runFolder = root + name;
        if (launcherCalls.CreateDirectoryW(runFolder->c_str(), nullptr)) return 0;
        DWORD error = GetLastError();
        // Another launcher on the same ROOT made it between the look and the make.
        if (error != ERROR_ALREADY_EXISTS) return error;
    }
}

DWORD NextPauseMs(DWORD lastPauseMs, ULONGLONG servedMs)
{
    if (lastPauseMs == 0 || servedMs >= LONG_RUN_MS) return FIRST_PAUSE_MS;
    return lastPauseMs >= LONGEST_PAUSE_MS / 2 ? LONGEST_PAUSE_MS : 2 * lastPauseMs;
}

bool EndsLauncher(DWORD exitCode, ULONGLONG servedMs)
{
    return exitCode == SERVER_GAVE_UP && servedMs < REFUSAL_WINDOW_MS;
}

int RunLauncher(int argumentCount, wchar_t** arguments)
{
    if (argumentCount < 2 || argumentCount > 3 || arguments[1][0] == L'\0') {
        PrintMessage("Usage: kestrum-run.exe ROOT [PIPE]\n");
        return EXIT_USAGE;
    }
    std::wstring root = arguments[1];
    std::wstring pipe = argumentCount == 3 ? arguments[2] : DEFAULT_PIPE;
    // API oddity: the runtime reads "C:\Print Jobs\" as C:\Print Jobs" (a backslash escapes the
    // quote after it). No folder name holds a quote: it stands for the trailing backslash.
    if (root.back() == L'"') root.back() = L'\\';
    if (!IsFullPath(root)) {
        PrintWideMessage(
            L"kestrum-run: %ls is not a full path such as C:\\Print Jobs or \\\\server\\share\\Jobs.\n",
            root.c_str());
        return EXIT_NOT_FULL_PATH;
    }
    // C:\Jobs\ and C:\Jobs are one folder; the run folders are joined with one backslash.
    while (root.size() > 2 && IsSeparator(root.back())) root.pop_back();
    DWORD error = MakeFolder(root);
    if (error != 0) {
        PrintWideMessage(L"kestrum-run: cannot make the folder %ls, GLE=%d.\n", root.c_str(),
                         static_cast<int>(error));
        return EXIT_NO_FOLDER;
    }
    std::wstring logPath = root + L"\\kestrum-run.log";
    launcherLog = OpenForAppending(logPath, FALSE);
    if (launcherLog == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        PrintWideMessage(L"kestrum-run: cannot open %ls, GLE=%d.\n", logPath.c_str(),
                         static_cast<int>(error));
        return EXIT_NO_FOLDER;
    }
    launcherCalls.SetConsoleTitleW((L"Kestrum serving " + pipe).c_str());
    PrintWideMessage(
        L"Kestrum serves %ls. Each run's jobs go to a new folder %ls\\RunNNNN, the server's "
        L"messages to kestrum.log in that folder, and these lines to %ls.\n"
        L"Closing this window stops the server, and printing to %ls with it.\n",
        pipe.c_str(), root.c_str(), logPath.c_str(), pipe.c_str());

    int code = EXIT_NO_SERVER;
    std::wstring server = OwnFolder() + L"\\kestrum.exe";
    HANDLE job = MakeServerJob();
    if (job == nullptr) {
        error = GetLastError();
        Report(L"kestrum-run: cannot start %ls, GLE=%d.", server.c_str(), static_cast<int>(error));
    }
    DWORD pauseMs = 0;
    while (job != nullptr) {
        std::wstring runFolder;
        error = MakeRunFolder(root, &runFolder);
        if (error != 0) {
            Report(L"kestrum-run: cannot make the folder %ls, GLE=%d.", runFolder.c_str(),
                   static_cast<int>(error));
            code = EXIT_NO_FOLDER;
            break;
        }
        RunEnd end = ServeOneRun(job, server, pipe, runFolder);
        if (end.launcherCode != 0) {
            code = end.launcherCode;
            break;
        }
        int serverCode = static_cast<int>(end.serverCode);
        unsigned long servedSeconds = static_cast<unsigned long>(end.servedMs / 1000);
        if (EndsLauncher(end.serverCode, end.servedMs)) {
            Report(
                L"run in %ls ended with code %d after %lu s, at its start: kestrum-run ends; its "
                L"kestrum.log says why.",
                runFolder.c_str(), serverCode, servedSeconds);
            code = serverCode;
            break;
        }
        pauseMs = NextPauseMs(pauseMs, end.servedMs);
        Report(L"run in %ls ended with code %d after %lu s; the next run starts in %lu s.", runFolder.c_str(),
               serverCode, servedSeconds, static_cast<unsigned long>(pauseMs / 1000));
        launcherCalls.Sleep(pauseMs);
    }
    if (job != nullptr) launcherCalls.CloseHandle(job);
    launcherCalls.CloseHandle(launcherLog);
    launcherLog = INVALID_HANDLE_VALUE;
    return code;
}
