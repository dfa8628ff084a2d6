#pragma once
// What the sample install UI's windows are made of. A user acts through these controls and
// commands; tests and the quiet demo act the same way (a posted WM_COMMAND is a click).
#include <windows.h>

namespace TARN {

// Window classes; the frame and tray windows and the instance beacons carry the compile GUID
// (or nothing) as their title.
inline constexpr wchar_t kFrameWindowClass[] = L"InstUI_Frame";
inline constexpr wchar_t kTrayWindowClass[] = L"InstUI_Tray";
inline constexpr wchar_t kBeaconWindowClass[] = L"InstUI_Instance";

// Frame controls.
enum EFrameControl : int {
    eControl_Status = 1001,     // the main line (or the page's text)
    eControl_Detail = 1002,     // what is being done now
    eControl_Progress = 1003,   // progress bar, 0 to 1000
    eControl_MediaPath = 1004,  // media page: the path
    eControl_Browse = 1005,     // media page
    eControl_Primary = 1006,    // "Restart now" on the restart page, "OK" on the media page
    eControl_Secondary = IDCANCEL,  // "Cancel" / "Close" / "Later"
};

// Tray menu commands (WM_COMMAND to the tray window).
enum ETrayCommand : int {
    eTray_Open = 2001,
    eTray_RestartNow = 2002,
};

// Private messages.
enum EInstallUIMessage : UINT {
    eUIMessage_Refresh = WM_APP + 1,      // the state changed: show it
    eUIMessage_Close = WM_APP + 2,        // end the window
    eUIMessage_ComeForward = WM_APP + 3,  // a second start asks this instance to come forward
    eUIMessage_TrayIcon = WM_APP + 4,     // notification icon callback
};

}  // namespace TARN
