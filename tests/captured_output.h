// Test support: the process's standard output goes to a temporary file while one of these
// lives, so a test can read back exactly what the server printed.
#pragma once
#include <windows.h>

#include <string>

class CapturedOutput {
public:
    CapturedOutput() : saved_(GetStdHandle(STD_OUTPUT_HANDLE))
    {
        wchar_t folder[MAX_PATH], path[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        GetTempFileNameW(folder, L"out", 0, path);
        file_ = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        SetStdHandle(STD_OUTPUT_HANDLE, file_);
    }
    ~CapturedOutput()
    {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        CloseHandle(file_);
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // Everything printed so far, as the bytes written.
    std::string Text() const
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

private:
    HANDLE saved_;
    HANDLE file_;
};
