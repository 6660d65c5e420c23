// Messages to standard output. Each message is formatted into one buffer and written by one
// call straight to the standard output handle, so lines of different threads never mix and
// nothing waits in a runtime buffer when the process is ended from outside.
#pragma once

// A narrow (ASCII) message, printf-style.
void PrintMessage(const char* format, ...);

// A wide message, wprintf-style; spell a wide string argument "%ls". On a console it is
// written as UTF-16; redirected to a file or pipe, as UTF-8. Every character survives.
void PrintWideMessage(const wchar_t* format, ...);

// Turns QuickEdit off for the console that standard input is, keeping its other input modes.
// With QuickEdit on (the default of Windows 10's console), a click in the window starts a
// selection, and while it lasts every write to the console blocks: each worker would stop at its
// next message, and with it its printer. When standard input is not a console, nothing changes.
void TurnOffQuickEdit();
