#pragma once
// The binary interfaces between the installer front end and its components: the install engine
// (engine.dll), the install UI (InstUI.dll), the inter-process command library (qlIPC.dll), the
// settings store (qlSet.dll) and the objects they hand each other. The stub, the
// sample components and the test fixtures all compile against this one header, so the slot order
// and calling convention of every interface here are the contract: append, never reorder.
#include <windows.h>
#include <unknwn.h>

#include "package/StreamKeys.h"
#include "package/ValueCollection.h"

namespace qlLib {
class CDebugOutput;
}

namespace TARN {

// ---- class and interface ids ----------------------------------------------------------------

// The engine object of engine.dll.
inline constexpr CLSID CLSID_EngineManager = {
    0x7B15AE53, 0x35D6, 0x4D48, {0x81, 0x9D, 0x54, 0x3F, 0x10, 0xA6, 0x95, 0x5B}};
inline constexpr IID IID_IInstallEngine = {
    0xE1CDAA84, 0xE892, 0x46FF, {0xB9, 0xEA, 0xFE, 0x51, 0x3E, 0xB8, 0x47, 0xAE}};
// The frame object of InstUI.dll.
inline constexpr CLSID CLSID_InstallUIFrame = {
    0x00DD2CF2, 0xB751, 0x4807, {0xA0, 0xAC, 0x91, 0xEB, 0x76, 0x6A, 0x21, 0xAD}};
inline constexpr IID IID_IInstallUIFrame = {
    0x285E91E3, 0xBFCC, 0x4969, {0x9F, 0xFD, 0xD1, 0x7B, 0x16, 0x09, 0xEC, 0x7E}};
inline constexpr IID IID_IInstallUIFrame2 = {
    0x59493E09, 0x3165, 0x40A8, {0x8C, 0xA4, 0xA5, 0x38, 0xBB, 0xFA, 0x37, 0xE7}};
inline constexpr IID IID_IInstallUI = {
    0x99302363, 0xA01E, 0x4373, {0x83, 0x7C, 0xCE, 0x5E, 0xB0, 0x35, 0x7B, 0x65}};
inline constexpr IID IID_IInstallTray = {
    0x4EC5300E, 0xE183, 0x426B, {0xAF, 0x27, 0x9B, 0xB0, 0xB3, 0x81, 0x49, 0x2E}};
inline constexpr IID IID_IInstallCallback = {
    0x577ABF11, 0x0D12, 0x4563, {0xAA, 0xD7, 0x6F, 0xBC, 0x73, 0xC9, 0x46, 0x13}};
inline constexpr IID IID_IComponentFactory = {
    0x4D50AFBB, 0xF959, 0x4576, {0x96, 0xCA, 0xC7, 0x87, 0xC6, 0xE4, 0xB6, 0x51}};
// The command object of qlIPC.dll: the class and its interface share one id.
inline constexpr CLSID CLSID_IPCCommand = {
    0xDD607EDE, 0xE669, 0x44B3, {0x9A, 0x23, 0xD0, 0xEA, 0xB4, 0x1A, 0x2F, 0x57}};
inline constexpr IID IID_IIPCCommand = CLSID_IPCCommand;
// The settings store of qlSet.dll, and the value interface of its nodes.
inline constexpr CLSID CLSID_SettingsManager = {
    0x4F3E0BE1, 0x5FE1, 0x4C22, {0x85, 0x9B, 0xA6, 0xFB, 0x75, 0x86, 0xB8, 0x28}};
inline constexpr IID IID_ISettingsManager = {
    0xAAB487C2, 0x7199, 0x4D92, {0xB6, 0xDC, 0xC5, 0x7A, 0x44, 0x54, 0xFA, 0xDB}};
inline constexpr IID IID_ISettingsValues = {
    0xAAD2C5FE, 0x1678, 0x4A71, {0x93, 0xB1, 0x4A, 0x92, 0x44, 0x11, 0xD7, 0x6A}};

// ---- module exports ---------------------------------------------------------------------------

class IComponentFactory;

// Both must exist for a module to bind; GetObjectCount is never called by the host.
inline constexpr char kExportGetFactory[] = "GetFactory";
inline constexpr char kExportGetObjectCount[] = "GetObjectCount";
// The component's trace log, linked to the host's right after loading: the engine exports the
// second name, the install UI the first.
inline constexpr char kExportGetDebugOutput[] = "GetDebugOutput";
inline constexpr char kExportGetDebugOutput2[] = "GetDebugOutput2";

typedef HRESULT(WINAPI* PFN_GetFactory)(REFCLSID classId, IComponentFactory** factory);
typedef LONG(WINAPI* PFN_GetObjectCount)();
// The object shares the host's CDebugOutput layout, so the host can forward it to its own.
typedef qlLib::CDebugOutput*(WINAPI* PFN_GetDebugOutput)();

// Module binding failures.
inline constexpr HRESULT E_COMPONENT_LOAD_FAILED = static_cast<HRESULT>(0x80010300);
inline constexpr HRESULT E_COMPONENT_NO_EXPORTS = static_cast<HRESULT>(0x80010302);
inline constexpr HRESULT E_COMPONENT_PATH_TOO_LONG = static_cast<HRESULT>(0x80010303);

// A value the settings store does not hold.
inline constexpr HRESULT E_SETTING_NOT_FOUND = static_cast<HRESULT>(0x80000100);

// The result a user's cancel produces everywhere (ERROR_INSTALL_USEREXIT).
inline constexpr HRESULT E_INSTALL_USEREXIT = static_cast<HRESULT>(0x80070642);

// ---- keys and numbers both sides rely on --------------------------------------------------------

// Stream collection handed to IInstallEngine::Initialize: EStreamKey (package/StreamKeys.h).

// Keys of the engine data collection (stream key 2) that components read.
enum EEngineDataKey : DWORD {
    eEngineData_ProductId = 0,
    eEngineData_CompileGuid = 14,
    eEngineData_UIOption = 51001,
};

// Modes of IInstallEngine::Initialize.
enum EEngineMode : DWORD {
    eEngineMode_Install = 0,
    eEngineMode_PatchFailure1 = 4,
    eEngineMode_Validate = 6,
    eEngineMode_PatchFailure2 = 7,
    eEngineMode_Repair = 8,
    eEngineMode_RepairShortcuts = 9,
};

// The engine results collection filled by IInstallEngine::Start.
enum EResultKey : DWORD {
    eResult_FollowUpCommand = 0,   // wide string
    eResult_LaunchRebootTray = 1,  // boolean
    eResult_RemoveCache = 3,       // boolean
    eResult_ReturnCode = 4,        // DWORD, returned by the stub instead of the engine result
    eResult_KeepParentCache = 5,   // boolean
    eResult_FailureReported = 6,   // boolean
    eResult_FailureHint = 7,       // DWORD
};

// IInstallUI::SetStatus phases.
enum EStatusPhase : DWORD {
    eStatus_Begin = 0,    // text: the product's name
    eStatus_Action = 1,   // text: what is being done now
    eStatus_End = 2,      // text: the closing line
};

// IInstallUI::ShowMessage severities (those of the trace log).
enum EMessageSeverity : DWORD {
    eMessage_Information = 1,
    eMessage_Warning = 2,
    eMessage_Error = 3,
};

// Pages of IInstallUI::SetStartPage and the keys of their data collections.
enum EUIPage : DWORD {
    ePage_Progress = 0,
    ePage_Restart = 9,        // data key 0: ePageRestart_*
    ePage_Media = 10,         // data key 5: the media path, replaced by the user's choice
};
enum EUIPageKey : DWORD {
    ePageKey_RestartKind = 0,
    ePageKey_MediaPath = 5,
};
enum ERestartKind : DWORD {
    ePageRestart_Finish = 2,     // restart to finish the installed product
    ePageRestart_Continue = 5,   // restart, then the installation goes on
};

// IInstallCallback::OnEvent numbers.
enum EUIEvent : DWORD {
    eEvent_TrayClick = 0,   // the tray icon was clicked (or a second start asked to come forward)
    eEvent_Restart = 1,     // the user chose to restart now
    eEvent_Cancel = 6,      // the user canceled the page
};

// ---- interfaces -------------------------------------------------------------------------------

class IInstallUI;
class IInstallTray;
class IInstallCallback;

// What GetFactory hands out; released by the host right after it made its object.
class IComponentFactory : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE CreateObject(REFIID iid, void** object) = 0;
};

class IInstallUIFrame : public IUnknown {
public:
    // 0: prepares the frame (language module, window class). E_FAIL: no usable language module.
    virtual HRESULT STDMETHODCALLTYPE Initialize() = 0;
    // 1: shows the start page and runs the window's messages until the frame closes.
    virtual HRESULT STDMETHODCALLTYPE Display() = 0;
    // 2: closes the frame from any thread. A Close that comes before Display makes that Display
    // return at once (a fast engine can end before the UI thread shows the window).
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    // 3: the object the engine and the host talk to (a new reference).
    virtual HRESULT STDMETHODCALLTYPE GetInstallUI(IInstallUI** ui) = 0;
    // 4: the notification-area tray (a new reference).
    virtual HRESULT STDMETHODCALLTYPE GetInstallTray(IInstallTray** tray) = 0;
    // 5: S_OK when the window is up (it is brought to the foreground), S_FALSE when not.
    virtual HRESULT STDMETHODCALLTYPE ActivateIfDisplayed() = 0;
    // 6: the compile GUID under which a displayed frame can be found by a second start.
    virtual HRESULT STDMETHODCALLTYPE SetInstanceId(const wchar_t* compileGuid) = 0;
    // 7: the frame's window while it is displayed, else null.
    virtual HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) = 0;
};

// The same frame with the UI option (embedded data key 51001: a see-through window).
class IInstallUIFrame2 : public IInstallUIFrame {
public:
    // 8
    virtual HRESULT STDMETHODCALLTYPE DisplayWithOption(BOOL uiOption) = 0;
    // 9
    virtual HRESULT STDMETHODCALLTYPE GetInstallUIWithOption(BOOL uiOption, IInstallUI** ui) = 0;
};

// The install UI as the engine and the host see it. Any thread may call; the UI hands the work
// to its window's thread. Quiet runs give the engine a silent document with the same slots.
class IInstallUI : public IUnknown {
public:
    // 0: the host has handled the callback's event: the page shown for it ends.
    virtual HRESULT STDMETHODCALLTYPE Notify() = 0;
    // 1: S_OK to go on, E_INSTALL_USEREXIT once the user canceled.
    virtual HRESULT STDMETHODCALLTYPE SetProgress(ULONG done, ULONG total) = 0;
    // 2: phase is an EStatusPhase.
    virtual HRESULT STDMETHODCALLTYPE SetStatus(DWORD phase, const wchar_t* text) = 0;
    // 3: the page the next Display shows (EUIPage) and its data; the page writes its answers
    // into data.
    virtual HRESULT STDMETHODCALLTYPE SetStartPage(DWORD page, qlLib::IKeyValueCollection* data) = 0;
    // 4: a line for the user (EMessageSeverity); never waits for the user.
    virtual HRESULT STDMETHODCALLTYPE ShowMessage(DWORD severity, const wchar_t* text) = 0;
    // 5: the engine has ended with this result.
    virtual HRESULT STDMETHODCALLTYPE OnEngineEnd(HRESULT result, qlLib::IKeyValueCollection* results) = 0;
    // 6: FALSE runs unattended: nothing waits for the user and the frame closes itself when the
    // engine ends.
    virtual HRESULT STDMETHODCALLTYPE SetInteractive(BOOL interactive) = 0;
    // 7: who hears the UI's events (null clears); false when this UI raises none.
    virtual bool STDMETHODCALLTYPE SetCallback(IInstallCallback* callback) = 0;
};

// The notification-area icon after a run that needs a restart.
class IInstallTray : public IUnknown {
public:
    // 0: ends Run (the restart was chosen, or the host is done with the tray).
    virtual HRESULT STDMETHODCALLTYPE Notify() = 0;
    // 1: the compile GUID that names this product's running instance.
    virtual HRESULT STDMETHODCALLTYPE SetInstanceId(const wchar_t* compileGuid) = 0;
    // 2: who hears clicks and asks about the patch reboot marker (null clears).
    virtual HRESULT STDMETHODCALLTYPE SetCallback(IInstallCallback* callback) = 0;
    // 3: shows the icon and runs messages until Notify or the callback's patch check ends it.
    virtual HRESULT STDMETHODCALLTYPE Run() = 0;
    // 4: whether another process shows a frame or tray under the same compile GUID; with signal
    // it is asked to come forward.
    virtual bool STDMETHODCALLTYPE FindOtherInstance(BOOL signal) = 0;
};

// Implemented by the host and handed to the install UI and the tray.
class IInstallCallback : public IUnknown {
public:
    // 0: an EUIEvent.
    virtual HRESULT STDMETHODCALLTYPE OnEvent(DWORD event) = 0;
    // 1: a page the frame showed has closed.
    virtual HRESULT STDMETHODCALLTYPE OnPageClosed(DWORD page) = 0;
    // 2: asked by the tray now and then: negative keeps it, 0 ends it, 1 means nothing is watched.
    virtual LONG STDMETHODCALLTYPE CheckPatchReboot() = 0;
};

// The engine object.
class IInstallEngine : public IUnknown {
public:
    // 0: prepares a run (EEngineMode) on the stream collection (EStreamKey); frame and ui may
    // be null. In the validation modes this call is the whole work and its result the answer.
    virtual HRESULT STDMETHODCALLTYPE Initialize(DWORD mode, qlLib::IKeyValueCollection* streams,
                                                 IInstallUIFrame* frame, IInstallUI* ui) = 0;
    // 1: asks a running Start to stop soon; it then answers E_INSTALL_USEREXIT.
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    // 2: runs the install and returns when it has ended, with results filled (EResultKey).
    virtual HRESULT STDMETHODCALLTYPE Start(qlLib::IKeyValueCollection* results) = 0;
};

// The inter-process command library's client side: channels to the product's services.
class IIPCClient : public IUnknown {
public:
    // 3: the service's answer to one command; input and output may be null.
    virtual HRESULT STDMETHODCALLTYPE SendCommand(REFGUID command, qlLib::IKeyValueCollection* input,
                                                  qlLib::IKeyValueCollection* output) = 0;
};

class IIPCCommand : public IUnknown {
public:
    // 3, 4: the library's serving side, which the installer never uses.
    virtual HRESULT STDMETHODCALLTYPE CreateServer(const wchar_t* channel, IUnknown** server) = 0;
    virtual HRESULT STDMETHODCALLTYPE CloseServer(IUnknown* server) = 0;
    // 5: a client connected to the named channel (a new reference).
    virtual HRESULT STDMETHODCALLTYPE CreateClient(const wchar_t* channel, IIPCClient** client) = 0;
};

// A string value as the settings store holds it: ANSI or wide text.
class ISettingsText : public IUnknown {
public:
    // 3: whether Text is wide; 4: the text, terminated, alive as long as the object.
    virtual BOOL STDMETHODCALLTYPE IsWide() = 0;
    virtual const void* STDMETHODCALLTYPE Text() = 0;
};

// The settings store: a tree of nodes named by backslash paths.
class ISettingsManager : public IUnknown {
public:
    // 3, 4: the store's administration, which the installer never uses.
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    // 5: the node at path (a new reference); its values through IID_ISettingsValues.
    virtual HRESULT STDMETHODCALLTYPE OpenNode(const wchar_t* path, IUnknown** node) = 0;
};

// The values of one node. E_SETTING_NOT_FOUND for a value the node does not hold.
class ISettingsValues : public IUnknown {
public:
    // 3
    virtual HRESULT STDMETHODCALLTYPE GetDword(const wchar_t* name, DWORD* value) = 0;
    // 4 to 18: the writers and the other typed readers, which the installer never uses.
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved8() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved9() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved10() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved11() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved12() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved13() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved14() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved15() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved16() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved17() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved18() = 0;
    // 19: a string value (a new reference).
    virtual HRESULT STDMETHODCALLTYPE GetString(const wchar_t* name, ISettingsText** value) = 0;
};

}  // namespace TARN
