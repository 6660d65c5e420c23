#include "capture/job_naming.h"
#include "platform/console.h"
#include "server/listener.h"
#include "server/settings.h"

int wmain(int argumentCount, wchar_t** arguments)
{
    ReadSettings(argumentCount, arguments);
    // The template reaches a formatter: refuse it before any printer is accepted.
    const wchar_t* reason = CheckOutputTemplate(captureSettings.outputTemplate);
    if (reason != nullptr) {
        PrintWideMessage(L"Invalid output template %ls: %ls.\n", captureSettings.outputTemplate, reason);
        return -1;
    }
    TurnOffQuickEdit();
    return ListenLoop();
}
