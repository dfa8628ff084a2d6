#pragma once
// The install UI object handed to the engine and the host: every call goes to its frame, which
// shows it on the window's own thread.
#include <windows.h>

#include "components/ComponentFactory.h"
#include "components/ComponentInterfaces.h"
#include "components/ComponentUnknown.h"

namespace TARN {

class CInstallUIFrame;

class CInstallUI final : public CComponentUnknown<IInstallUI, IID_IInstallUI>, private CComponentObject {
public:
    // One reference for the caller; null when out of memory.
    static CInstallUI* Create(CInstallUIFrame* frame);

    HRESULT STDMETHODCALLTYPE Notify() override;
    HRESULT STDMETHODCALLTYPE SetProgress(ULONG done, ULONG total) override;
    HRESULT STDMETHODCALLTYPE SetStatus(DWORD phase, const wchar_t* text) override;
    HRESULT STDMETHODCALLTYPE SetStartPage(DWORD page, qlLib::IKeyValueCollection* data) override;
    HRESULT STDMETHODCALLTYPE ShowMessage(DWORD severity, const wchar_t* text) override;
    HRESULT STDMETHODCALLTYPE OnEngineEnd(HRESULT result, qlLib::IKeyValueCollection* results) override;
    HRESULT STDMETHODCALLTYPE SetInteractive(BOOL interactive) override;
    bool STDMETHODCALLTYPE SetCallback(IInstallCallback* callback) override;

private:
    explicit CInstallUI(CInstallUIFrame* frame);
    ~CInstallUI() override;

    // The frame keeps no reference back, so no cycle keeps either alive.
    CInstallUIFrame* m_frame;
};

}  // namespace TARN
