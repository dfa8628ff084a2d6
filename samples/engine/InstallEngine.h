#pragma once
// The sample product's install engine: reads Install.mft from the install cache, installs or
// checks the product it describes, reports to the install UI (or the silent document), writes
// complete.dat and fills the engine results.
#include <windows.h>

#include <string>
#include <vector>

#include "components/ComponentFactory.h"
#include "components/ComponentInterfaces.h"
#include "runtime/ComPtr.h"
#include "samples/engine/InstallManifest.h"

namespace TARN {

class CInstallEngine final : public CComponentUnknown<IInstallEngine, IID_IInstallEngine>, private CComponentObject {
public:
    // The factory's CreateObject.
    static HRESULT Create(REFIID iid, void** object) { return CreateAs<CInstallEngine>(iid, object); }
    CInstallEngine() = default;

    HRESULT STDMETHODCALLTYPE Initialize(DWORD mode, qlLib::IKeyValueCollection* streams, IInstallUIFrame* frame,
                                         IInstallUI* ui) override;
    HRESULT STDMETHODCALLTYPE Cancel() override;
    HRESULT STDMETHODCALLTYPE Start(qlLib::IKeyValueCollection* results) override;

private:
    ~CInstallEngine() override = default;

    void ReleaseRun();
    void TraceArchiveStream(DWORD key, const wchar_t* what);
    void AnnounceInstance();
    HRESULT WriteCompleteMarker();
    void WriteOutputManifest(const std::vector<std::wstring>& installed);
    // The scripted outcome after an install that went through, the failure hint otherwise.
    void FillResults(qlLib::IKeyValueCollection* results, bool installed);

    qlLib::CComPtr<qlLib::IKeyValueCollection> m_streams;
    qlLib::CComPtr<IInstallUIFrame> m_frame;
    qlLib::CComPtr<IInstallUI> m_ui;
    CInstallManifest m_manifest;
    std::wstring m_installCache;
    bool m_ready = false;
    volatile LONG m_cancel = 0;
};

}  // namespace TARN
