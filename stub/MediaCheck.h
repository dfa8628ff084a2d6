#pragma once
// The media page: when the package cannot be found, the install UI asks the user where it is.
#include <windows.h>

#include <string>

#include "components/ComponentInterfaces.h"
#include "runtime/ComPtr.h"

namespace TARN {

class CMediaCheck final : public IInstallCallback {
public:
    // With a reference to frame and the UI option of the settings; one reference for the caller,
    // null when out of memory.
    static CMediaCheck* Create(IInstallUIFrame* frame, bool uiOption);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // 6 (the user canceled the page): remembered, and the page is told it was handled.
    HRESULT STDMETHODCALLTYPE OnEvent(DWORD event) override;
    HRESULT STDMETHODCALLTYPE OnPageClosed(DWORD) override { return S_OK; }
    LONG STDMETHODCALLTYPE CheckPatchReboot() override { return 1; }

    // Shows the page with mediaPath until the user answers: 0x80070642 when canceled, else 0 with
    // the path the user chose in MediaPath().
    HRESULT Show(const std::wstring& mediaPath);
    const std::wstring& MediaPath() const { return m_mediaPath; }

    static constexpr HRESULT kNoFrame = static_cast<HRESULT>(0x80047D73);

private:
    CMediaCheck(IInstallUIFrame* frame, bool uiOption);
    ~CMediaCheck() = default;

    qlLib::CRefCount m_refs;
    qlLib::CComPtr<IInstallUIFrame> m_frame;
    qlLib::CComPtr<IInstallUI> m_ui;
    volatile LONG m_canceled = 0;
    bool m_uiOption;
    std::wstring m_mediaPath;
};

}  // namespace TARN
