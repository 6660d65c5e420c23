#include "launcher/launcher.h"
#include "platform/console.h"

namespace {

// Started at start-up with nobody logged on, the launcher runs on when a user logs off; the
// default handler would end it then. Ctrl+C, Ctrl+Break and closing the window keep the default:
// the launcher ends, and the job object ends kestrum.exe with it.
BOOL WINAPI IgnoreLogoff(DWORD event) { return event == CTRL_LOGOFF_EVENT; }

}  // namespace

int wmain(int argumentCount, wchar_t** arguments)
{
    SetConsoleCtrlHandler(IgnoreLogoff, TRUE);
    // kestrum.exe is to inherit its log and NUL, not the launcher's own input and output: whoever
    // reads the launcher's output sees it end when the launcher ends.
    for (DWORD standard : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE})
        SetHandleInformation(GetStdHandle(standard), HANDLE_FLAG_INHERIT, 0);
    TurnOffQuickEdit();
    return RunLauncher(argumentCount, arguments);
}
