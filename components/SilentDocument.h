#pragma once
// What quiet runs hand the engine in place of the install UI: takes every call and shows nothing.
#include <windows.h>

#include "components/ComponentInterfaces.h"
#include "components/ComponentUnknown.h"

namespace TARN {

class CSilentDocument final : public CComponentUnknown<IInstallUI, IID_IInstallUI> {
public:
    // One reference for the caller; null when out of memory.
    static CSilentDocument* Create() { return new (std::nothrow) CSilentDocument(); }

    HRESULT STDMETHODCALLTYPE Notify() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetProgress(ULONG, ULONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetStatus(DWORD, const wchar_t*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetStartPage(DWORD, qlLib::IKeyValueCollection*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ShowMessage(DWORD, const wchar_t*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnEngineEnd(HRESULT, qlLib::IKeyValueCollection*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetInteractive(BOOL) override { return S_OK; }
    // Nobody is there to raise events.
    bool STDMETHODCALLTYPE SetCallback(IInstallCallback*) override { return false; }

private:
    CSilentDocument() = default;
    ~CSilentDocument() override = default;
};

}  // namespace TARN
