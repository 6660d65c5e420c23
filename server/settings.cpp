#include "server/settings.h"

CaptureSettings captureSettings = {
    L"\\\\.\\pipe\\kestrum",
    L"D:\\Qelmar\\Temp\\Out%04ld.ps",
};

void ReadSettings(int argumentCount, wchar_t** arguments)
{
    if (argumentCount != 3) return;
    captureSettings.pipeName = arguments[1];
    captureSettings.outputTemplate = arguments[2];
}
