// Prints through the Windows spooler to the printer "Kestrum", whose port is the pipe, as an
// application does; and adds that printer.
//   spool.exe add-printer PPD   add the printer with Wine's PostScript driver; make it the default
//   spool.exe raw FILE...       print each file as one RAW job, its bytes unchanged
//   spool.exe page TEXT         print one page of text, drawn through the PostScript driver
// Exit code 0 when every job was handed over whole; otherwise one line on standard error
// names the call that failed and its code.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t PRINTER[] = L"Kestrum";
const wchar_t DRIVER[] = L"Kestrum PostScript";
const wchar_t PORT[] = L"\\\\.\\pipe\\kestrum";
const ULONGLONG SERVER_WAIT_MS = 5000;

int Failed(const wchar_t* what, DWORD error)
{
    fwprintf(stderr, L"spool: %ls failed, GLE=%lu\n", what, error);
    return 1;
}

int AddKestrumPrinter(const wchar_t* ppd)
{
    wchar_t ppdPath[MAX_PATH];
    if (GetFullPathNameW(ppd, MAX_PATH, ppdPath, nullptr) == 0)
        return Failed(L"GetFullPathNameW", GetLastError());

    // Wine's PostScript driver is both driver and configuration, the PPD its data. The spooler
    // installs a driver's files from the driver folder, so the PPD is put there first. 64-bit
    // programs of a 64-bit prefix look for the driver under their own environment, which a
    // 32-bit prefix lacks.
    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = const_cast<wchar_t*>(DRIVER);
    driver.pDriverPath = const_cast<wchar_t*>(L"wineps.drv");
    driver.pConfigFile = const_cast<wchar_t*>(L"wineps.drv");
    driver.pDataFile = const_cast<wchar_t*>(L"kestrum.ppd");
    const wchar_t* environments[] = {nullptr, L"Windows x64"};
    for (const wchar_t* environment : environments) {
        wchar_t folder[MAX_PATH];
        DWORD needed = 0;
        if (!GetPrinterDriverDirectoryW(nullptr, const_cast<wchar_t*>(environment), 1,
                                        reinterpret_cast<BYTE*>(folder), sizeof folder, &needed)) {
            if (environment == nullptr) return Failed(L"GetPrinterDriverDirectoryW", GetLastError());
            continue;
        }
        std::wstring staged = std::wstring(folder) + L"\\kestrum.ppd";
        if (!CopyFileW(ppdPath, staged.c_str(), FALSE)) return Failed(L"CopyFileW", GetLastError());
        driver.pEnvironment = const_cast<wchar_t*>(environment);
        if (!AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&driver), APD_COPY_NEW_FILES))
            return Failed(L"AddPrinterDriverExW", GetLastError());
    }

    // Wine's spooler reads a port that starts with \\ as a printer on a remote server; this value
    // sends the job to its FILE: port monitor instead, which opens the port's name as a file.
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Printing\\Spooler", 0, nullptr, 0,
                                     KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status =
            RegSetValueExW(key, PORT, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"FILE:"), sizeof L"FILE:");
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS) return Failed(L"RegSetValueExW", static_cast<DWORD>(status));

    PRINTER_INFO_2W printer = {};
    printer.pPrinterName = const_cast<wchar_t*>(PRINTER);
    printer.pPortName = const_cast<wchar_t*>(PORT);
    printer.pDriverName = const_cast<wchar_t*>(DRIVER);
    printer.pPrintProcessor = const_cast<wchar_t*>(L"winprint");
    printer.pDatatype = const_cast<wchar_t*>(L"RAW");
    printer.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    HANDLE added = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&printer));
    if (added == nullptr && GetLastError() != ERROR_PRINTER_ALREADY_EXISTS)
        return Failed(L"AddPrinterW", GetLastError());
    if (added != nullptr) ClosePrinter(added);
    if (!SetDefaultPrinterW(PRINTER)) return Failed(L"SetDefaultPrinterW", GetLastError());
    return 0;
}

// The port monitor opens the pipe once, gives up on a busy or absent one, and Wine then deletes
// the job: wait until the server has an instance free, riding out the moment between two
// instances, before the job is handed over. A failed job's own code is lost on the way (Wine
// reports 6), so this is also where a missing server is told by its real code.
bool WaitForServer()
{
    ULONGLONG deadline = GetTickCount64() + SERVER_WAIT_MS;
    while (!WaitNamedPipeW(PORT, 1000)) {
        DWORD error = GetLastError();
        if ((error != ERROR_FILE_NOT_FOUND && error != ERROR_SEM_TIMEOUT) || GetTickCount64() > deadline) {
            fwprintf(stderr, L"spool: no server takes jobs on %ls, GLE=%lu\n", PORT, error);
            return false;
        }
        if (error == ERROR_FILE_NOT_FOUND) Sleep(50);
    }
    return true;
}

int PrintRaw(const wchar_t* path)
{
    HANDLE input = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return Failed(L"CreateFileW", GetLastError());
    HANDLE printer = nullptr;
    if (!OpenPrinterW(const_cast<wchar_t*>(PRINTER), &printer, nullptr)) {
        DWORD error = GetLastError();
        CloseHandle(input);
        return Failed(L"OpenPrinterW", error);
    }
    if (!WaitForServer()) {
        ClosePrinter(printer);
        CloseHandle(input);
        return 1;
    }
    const wchar_t* name = wcsrchr(path, L'\\');
    DOC_INFO_1W document = {const_cast<wchar_t*>(name ? name + 1 : path), nullptr,
                            const_cast<wchar_t*>(L"RAW")};
    const wchar_t* failedCall = nullptr;
    DWORD error = 0;
    if (StartDocPrinterW(printer, 1, reinterpret_cast<BYTE*>(&document)) == 0) {
        failedCall = L"StartDocPrinterW";
        error = GetLastError();
    } else {
        static char chunk[65536];
        for (;;) {
            DWORD bytesRead = 0, bytesWritten = 0;
            if (!ReadFile(input, chunk, sizeof chunk, &bytesRead, nullptr)) {
                failedCall = L"ReadFile";
                error = GetLastError();
                break;
            }
            if (bytesRead == 0) break;
            if (!WritePrinter(printer, chunk, bytesRead, &bytesWritten) || bytesWritten != bytesRead) {
                failedCall = L"WritePrinter";
                error = GetLastError();
                break;
            }
        }
        // The job goes to the port only now; a job cut short is deleted, never sent.
        if (failedCall != nullptr) {
            AbortPrinter(printer);
        } else if (!EndDocPrinter(printer)) {
            failedCall = L"EndDocPrinter";
            error = GetLastError();
        }
    }
    ClosePrinter(printer);
    CloseHandle(input);
    return failedCall ? Failed(failedCall, error) : 0;
}

// Wine 8 draws a page straight into a RAW job, which the print processor winprint passes on.
// Wine 10 spools it as "NT EMF 1.003" instead, which winprint refuses (ERROR_INVALID_DATATYPE);
// Wine's own processor wineps plays it there and passes RAW jobs on too, yet under Wine 8 it
// refuses RAW. Nothing tells the two apart before a page is started, so the printer starts on
// winprint and moves to wineps the first time a page is refused.
bool UseWinePrintProcessor()
{
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (!OpenPrinterW(const_cast<wchar_t*>(PRINTER), &printer, &access)) return false;
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> settings(needed);
    bool moved = needed > 0 && GetPrinterW(printer, 2, settings.data(), needed, &needed);
    if (moved) {
        auto* info = reinterpret_cast<PRINTER_INFO_2W*>(settings.data());
        info->pPrintProcessor = const_cast<wchar_t*>(L"wineps");
        info->pSecurityDescriptor = nullptr;
        moved = SetPrinterW(printer, 2, settings.data(), 0);
    }
    DWORD error = GetLastError();
    ClosePrinter(printer);
    SetLastError(error);
    return moved;
}

// Draws the text on one page, a line for each line break, in the driver's default font.
int PrintPage(const wchar_t* text)
{
    if (!WaitForServer()) return 1;
    HDC page = CreateDCW(nullptr, PRINTER, nullptr, nullptr);
    if (page == nullptr) return Failed(L"CreateDCW", GetLastError());
    DOCINFOW document = {sizeof document, L"Kestrum page", nullptr, nullptr, 0};
    int started = StartDocW(page, &document);
    if (started <= 0 && GetLastError() == ERROR_INVALID_DATATYPE) {
        DeleteDC(page);
        if (!UseWinePrintProcessor()) return Failed(L"SetPrinterW", GetLastError());
        page = CreateDCW(nullptr, PRINTER, nullptr, nullptr);
        if (page == nullptr) return Failed(L"CreateDCW", GetLastError());
        started = StartDocW(page, &document);
    }
    const wchar_t* failedCall = nullptr;
    DWORD error = 0;
    if (started <= 0) {
        failedCall = L"StartDocW";
        error = GetLastError();
    } else {
        TEXTMETRICW metrics = {};
        GetTextMetricsW(page, &metrics);
        int margin = GetDeviceCaps(page, LOGPIXELSX);  // an inch
        int y = margin;
        if (StartPage(page) <= 0) {
            failedCall = L"StartPage";
            error = GetLastError();
        }
        for (const wchar_t* line = text; failedCall == nullptr && *line != L'\0';) {
            const wchar_t* end = wcschr(line, L'\n');
            int length = static_cast<int>(end ? end - line : wcslen(line));
            if (!TextOutW(page, margin, y, line, length)) {
                failedCall = L"TextOutW";
                error = GetLastError();
            }
            y += metrics.tmHeight + metrics.tmExternalLeading;
            line += end ? length + 1 : length;
        }
        if (failedCall == nullptr && EndPage(page) <= 0) {
            failedCall = L"EndPage";
            error = GetLastError();
        }
        // The document goes to the port only now; a job cut short is deleted, never sent.
        if (failedCall == nullptr) {
            if (EndDoc(page) <= 0) {
                failedCall = L"EndDoc";
                error = GetLastError();
            }
        } else {
            AbortDoc(page);
        }
    }
    DeleteDC(page);
    return failedCall ? Failed(failedCall, error) : 0;
}

}  // namespace

int wmain(int argumentCount, wchar_t** arguments)
{
    if (argumentCount == 3 && wcscmp(arguments[1], L"add-printer") == 0)
        return AddKestrumPrinter(arguments[2]);
    if (argumentCount == 3 && wcscmp(arguments[1], L"page") == 0) return PrintPage(arguments[2]);
    if (argumentCount >= 3 && wcscmp(arguments[1], L"raw") == 0) {
        for (int index = 2; index < argumentCount; ++index) {
            if (PrintRaw(arguments[index]) != 0) return 1;
        }
        return 0;
    }
    fwprintf(stderr, L"usage: spool add-printer PPD | spool raw FILE... | spool page TEXT\n");
    return 2;
}
