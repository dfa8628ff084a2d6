#include "stub/MediaCheck.h"

#include <new>

#include "package/KeyValueCollectionImpl.h"
#include "runtime/Trace.h"

namespace TARN {

CMediaCheck* CMediaCheck::Create(IInstallUIFrame* frame, bool uiOption) {
    return new (std::nothrow) CMediaCheck(frame, uiOption);
}

CMediaCheck::CMediaCheck(IInstallUIFrame* frame, bool uiOption) : m_frame(frame), m_uiOption(uiOption) {
    if (frame) frame->AddRef();
}

HRESULT CMediaCheck::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IInstallCallback) {
        *object = static_cast<IInstallCallback*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CMediaCheck::AddRef() {
    return m_refs.AddRef();
}

ULONG CMediaCheck::Release() {
    const ULONG count = m_refs.Release();
    if (count == 0) delete this;
    return count;
}

HRESULT CMediaCheck::OnEvent(DWORD event) {
    if (event == eEvent_Cancel) ::InterlockedExchange(&m_canceled, 1);
    if (m_ui) m_ui->Notify();
    return S_OK;
}

HRESULT CMediaCheck::Show(const std::wstring& mediaPath) {
    if (!m_frame) {
        TraceError(L"CMediaCheck::Show(24) : UI frame not set");
        return kNoFrame;
    }
    qlLib::CComPtr<IInstallUIFrame2> frame2;
    m_frame->QueryInterface(IID_IInstallUIFrame2, reinterpret_cast<void**>(frame2.Receive()));
    HRESULT hr = frame2 ? frame2->GetInstallUIWithOption(m_uiOption, m_ui.Receive())
                        : m_frame->GetInstallUI(m_ui.Receive());
    if (FAILED(hr) || !m_ui) {
        TraceError(L"CMediaCheck::Show(45) : GetInstallUI failed (0x%08x)", hr);
        return FAILED(hr) ? hr : E_POINTER;
    }
    qlLib::CComPtr<qlLib::IKeyValueCollection> data = qlLib::CKeyValueCollectionImpl::New();
    if (!data || !data->SetWString(ePageKey_MediaPath, mediaPath.c_str())) return E_OUTOFMEMORY;
    hr = m_ui->SetStartPage(ePage_Media, data.Get());
    if (FAILED(hr)) TraceError(L"CMediaCheck::Show(65) : SetStartPage failed (0x%08x)", hr);
    m_ui->SetCallback(this);
    hr = frame2 ? frame2->DisplayWithOption(m_uiOption) : m_frame->Display();
    m_ui->SetCallback(nullptr);
    if (FAILED(hr)) {
        // Nobody saw the page: asking again would only fail again.
        TraceError(L"CMediaCheck::Show(77) : DisplayFrame failed (0x%08x)", hr);
        return hr;
    }
    if (m_canceled) {
        TraceInfo(L"media page canceled");
        return E_INSTALL_USEREXIT;
    }
    std::wstring chosen;
    if (data->GetWString(ePageKey_MediaPath, &chosen)) m_mediaPath.swap(chosen);
    return S_OK;
}

}  // namespace TARN
