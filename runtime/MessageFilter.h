#pragma once
// Which window messages an elevated process accepts from processes of lower integrity. From
// Vista on, the system drops most messages that the user's shell (which runs unelevated) sends
// to an elevated process's windows unless the process or the window lets them through; the two
// calls that do so are looked up at run time, as older systems lack them.
#include <windows.h>

namespace qlLib {

// The message the shell broadcasts to top-level windows when its taskbar is (re)created, after
// the shell restarted: notification icons are gone then and must be added again. 0 when it
// cannot be registered.
UINT TaskbarCreatedMessage();

// Lets message reach every window of this process from lower integrity
// (ChangeWindowMessageFilter, MSGFLT_ADD). True where the system has no such filter.
bool AllowMessageForProcess(UINT message);

// Lets message reach window from lower integrity (ChangeWindowMessageFilterEx, MSGFLT_ALLOW),
// or the whole process where the system filters only per process (Vista).
bool AllowMessageForWindow(HWND window, UINT message);

// The shell's messages that a notification icon shown by this process needs (the taskbar's
// re-creation), let through for the process; false, with a warning, when the system refused.
bool AllowShellMessages();

// Tests replace user32's ChangeWindowMessageFilter; null puts the system's back. Answers the
// replacement that was in place.
using ChangeWindowMessageFilterFn = BOOL(WINAPI*)(UINT message, DWORD action);
ChangeWindowMessageFilterFn ReplaceChangeWindowMessageFilter(ChangeWindowMessageFilterFn replacement);

}  // namespace qlLib
