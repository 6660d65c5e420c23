// Messages to standard output. Each message is formatted into one buffer and written by one
// call straight to the standard output handle, so lines of different threads never mix and
// nothing waits in a runtime buffer when the process is ended from outside.
#pragma once

// A narrow (ASCII) message, printf-style.
void PrintMessage(const char* format, ...);

// A wide message, wprintf-style; spell a wide string argument "%ls". On a console it is
// written as UTF-16; redirected to a file or pipe, as UTF-8. Every character survives.
void PrintWideMessage(const wchar_t* format, ...);
