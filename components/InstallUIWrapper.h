#pragma once
// Owns the install UI (InstUI.dll) of a run: loads it from a folder, links its trace log to the
// process's, and gives the install manager the frame and its operations. One lock guards the
// wrapper's state; the frame's own calls run outside it, because the window runs on the main
// thread while the worker thread closes it.
#include <windows.h>

#include <memory>
#include <string>

#include "components/ComponentInterfaces.h"
#include "components/ComponentModule.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"
#include "runtime/DebugOutput.h"

namespace TARN {

class CInstallUIWrapper {
public:
    CInstallUIWrapper() = default;
    ~CInstallUIWrapper();
    CInstallUIWrapper(const CInstallUIWrapper&) = delete;
    CInstallUIWrapper& operator=(const CInstallUIWrapper&) = delete;

    // InstUI.dll of folder, its frame made and initialised. 0 when loaded now, 1 when the frame
    // already existed, 0x80070002 when the file is missing, E_UNEXPECTED when the module or its
    // frame cannot be made, or the frame's own Initialize failure.
    HRESULT Load(const std::wstring& folder);
    // The frame with a new reference.
    HRESULT GetFrame(IInstallUIFrame** frame);
    HRESULT CloseFrame();
    // Runs the frame until it closes; with the second frame interface the UI option goes along.
    HRESULT DisplayFrame(BOOL uiOption);
    // The install UI object of the frame, through the second frame interface with the UI option
    // when the frame has it.
    HRESULT GetInstallUI(BOOL uiOption, IInstallUI** ui);
    // Trace link, frame, module, in that order. Not while another thread displays the frame.
    void Unload();
    bool IsLoaded();

private:
    // The frame (a new reference), or E_POINTER with the caller's "must call Load first" line.
    HRESULT FrameOrError(const char* notLoadedMessage, qlLib::CComPtr<IInstallUIFrame>& frame);   // packed trace format
    void UnloadLocked();

    qlLib::CCriticalSection m_lock;
    CComponentModule m_module;
    std::unique_ptr<qlLib::CDebugOutputLink> m_traceLink;
    qlLib::CComPtr<IInstallUIFrame> m_frame;
};

}  // namespace TARN
