// kestrum-run.exe: keeps kestrum.exe serving, one run after another, each run into a folder of
// its own under ROOT, and keeps a line per run in ROOT\kestrum-run.log.
#pragma once
#include <windows.h>

#include <string>

// The launcher's own exit codes; any other is kestrum.exe's.
const int EXIT_USAGE = 2;          // no ROOT, or more than ROOT and PIPE
const int EXIT_NO_FOLDER = 3;      // ROOT, a run's folder or the launcher's log cannot be made
const int EXIT_NOT_FULL_PATH = 4;  // a task starts in System32: a relative ROOT would land there
const int EXIT_NO_SERVER = 5;      // kestrum.exe or its log cannot be started or opened

// kestrum.exe's -1: it gave up. Within its first seconds that is a refusal (template, pipe name,
// a pipe another server holds) that every restart would meet again.
const DWORD SERVER_GAVE_UP = 0xFFFFFFFF;
const ULONGLONG REFUSAL_WINDOW_MS = 10000;
// A run that served this long ended for a reason of its own: the next one starts after the
// shortest pause again.
const ULONGLONG LONG_RUN_MS = 60000;
const DWORD FIRST_PAUSE_MS = 1000;
const DWORD LONGEST_PAUSE_MS = 60000;

// True for X:\... (or X:/...) and \\server\share...; a task's working folder is System32.
bool IsFullPath(const std::wstring& path);

// The output template kestrum.exe gets for a run's folder: every % of the folder doubled, so the
// server's formatter reads it as the character itself.
std::wstring OutputTemplate(const std::wstring& runFolder);

// One argument quoted so that the runtime's command-line parser reads it back unchanged.
std::wstring QuotedArgument(const std::wstring& argument);

// The highest number of a folder named Run and at least 4 digits in ROOT, 0 when there is none.
unsigned long HighestRunNumber(const std::wstring& root);

// Makes ROOT\RunNNNN with the number after the highest one; a folder another launcher took first
// moves on to the next number. 0 with the folder's path, or the failed call's error.
DWORD MakeRunFolder(const std::wstring& root, std::wstring* runFolder);

// The pause before the next run: 1 s after the first end or after a run that served long,
// doubled after each further run that ended soon, to at most a minute. lastPauseMs 0: none yet.
DWORD NextPauseMs(DWORD lastPauseMs, ULONGLONG servedMs);

// True when a run's end ends the launcher too, with the run's exit code.
bool EndsLauncher(DWORD exitCode, ULONGLONG servedMs);

// kestrum-run.exe ROOT [PIPE]: returns only when the launcher ends, with its exit code.
int RunLauncher(int argumentCount, wchar_t** arguments);
