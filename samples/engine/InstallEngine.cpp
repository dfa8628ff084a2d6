#include "samples/engine/InstallEngine.h"

#include <new>

#include "package/DataStream.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "samples/engine/ProductInstaller.h"

namespace TARN {

namespace {

// The hint the stub's failure report carries for a failed install step of this engine.
const DWORD kInstallFailureHint = 20;

}  // namespace

HRESULT CInstallEngine::Initialize(DWORD mode, qlLib::IKeyValueCollection* streams, IInstallUIFrame* frame,
                                   IInstallUI* ui) {
    try {
        TraceInfo(L"Engine: Initialize (mode %lu)", mode);
        m_ready = false;
        m_cancel = 0;
        m_streams = streams;
        m_frame = frame;
        m_ui = ui;
        std::wstring manifestPath;
        if (!streams || !qlLib::ReadStringAsWide(streams, eStreamKey_Manifest, manifestPath)) {
            TraceError(L"TARN::CInstallEngine::Initialize(32) : no manifest path in the stream collection");
            return E_INVALIDARG;
        }
        HRESULT hr = m_manifest.Load(manifestPath);
        if (FAILED(hr)) {
            TraceError(L"TARN::CInstallEngine::Initialize(37) : manifest %s: %s (0x%08x)", manifestPath.c_str(),
                       m_manifest.ErrorText().c_str(), hr);
            return hr;
        }
        if (!qlLib::ReadStringAsWide(streams, eStreamKey_InstallCache, m_installCache) || m_installCache.empty())
            m_installCache = m_manifest.Folder();
        TraceArchiveStream(eStreamKey_LayoutArchive, L"layout archive");
        TraceArchiveStream(eStreamKey_Scanner, L"scanner");
        AnnounceInstance();
        switch (mode) {
        case eEngineMode_Install:
        case eEngineMode_PatchFailure1:
        case eEngineMode_PatchFailure2:
            m_ready = true;
            return S_OK;
        case eEngineMode_Validate:
        case eEngineMode_Repair:
        case eEngineMode_RepairShortcuts: {
            // Validation runs have neither UI nor Start: this call is the whole work.
            TraceInfo(L"Start: Validate %s (mode %lu)", m_manifest.ProductName().c_str(), mode);
            CProductInstaller installer(m_manifest, nullptr, &m_cancel);
            hr = installer.Check(mode);
            TraceInfo(L"Finish: Validate (0x%08x)", hr);
            ReleaseRun();
            return hr;
        }
        default:
            TraceError(L"TARN::CInstallEngine::Initialize(64) : unknown mode %lu", mode);
            return E_INVALIDARG;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void CInstallEngine::ReleaseRun() {
    // The host may unload the install UI once the run is over; hold none of its objects by then.
    m_ui.Release();
    m_frame.Release();
    m_streams.Release();
}

void CInstallEngine::TraceArchiveStream(DWORD key, const wchar_t* what) {
    qlLib::CComPtr<IUnknown> object;
    if (!m_streams->GetObj(key, object.Receive())) return;
    qlLib::CComPtr<qlLib::IDataStream> stream = object.As<qlLib::IDataStream>(qlLib::IID_IDataStream);
    ULONGLONG size = 0;
    if (stream && stream->GetSize(&size)) TraceInfo(L"Engine: %s stream of %I64u bytes", what, size);
}

void CInstallEngine::AnnounceInstance() {
    // A second start of the same product finds the running frame by the compile GUID.
    if (!m_frame) return;
    qlLib::CComPtr<IUnknown> object;
    if (!m_streams->GetObj(eStreamKey_EngineData, object.Receive())) return;
    qlLib::CComPtr<qlLib::IKeyValueCollection> data =
        object.As<qlLib::IKeyValueCollection>(qlLib::IID_IKeyValueCollection);
    std::wstring guid;
    if (data && qlLib::ReadStringAsWide(data.Get(), eEngineData_CompileGuid, guid) && !guid.empty())
        m_frame->SetInstanceId(guid.c_str());
}

HRESULT CInstallEngine::Cancel() {
    ::InterlockedExchange(&m_cancel, 1);
    return S_OK;
}

HRESULT CInstallEngine::Start(qlLib::IKeyValueCollection* results) {
    try {
        if (!m_ready) {
            TraceError(L"TARN::CInstallEngine::Start(107) : no successful Initialize for an install");
            if (results) results->SetDword(eResult_FailureHint, kInstallFailureHint);
            return E_UNEXPECTED;
        }
        m_ready = false;   // one Start per Initialize
        TraceInfo(L"Start: Install %s into %s", m_manifest.ProductName().c_str(), m_manifest.TargetFolder().c_str());
        if (m_ui) m_ui->SetStatus(eStatus_Begin, m_manifest.ProductName().c_str());
        std::vector<std::wstring> installed;
        CProductInstaller installer(m_manifest, m_ui.Get(), &m_cancel);
        HRESULT hr = installer.Install(installed);
        if (SUCCEEDED(hr)) {
            WriteOutputManifest(installed);
            hr = WriteCompleteMarker();
        }
        const bool done = SUCCEEDED(hr);
        if (done && m_manifest.Outcome().hasResult) hr = m_manifest.Outcome().result;
        FillResults(results, done);
        if (m_ui) m_ui->OnEngineEnd(hr, results);
        TraceInfo(L"Finish: Install (0x%08x)", hr);
        ReleaseRun();
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CInstallEngine::WriteCompleteMarker() {
    std::wstring path;
    if (!qlLib::JoinPath(path, m_installCache, L"complete.dat")) return E_OUTOFMEMORY;
    qlLib::CFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        TraceError(L"TARN::CInstallEngine::WriteCompleteMarker(140) : failed to write %s (%lu)", path.c_str(), error);
        return HRESULT_FROM_WIN32(error);
    }
    return S_OK;
}

void CInstallEngine::WriteOutputManifest(const std::vector<std::wstring>& installed) {
    qlLib::CComPtr<IUnknown> object;
    if (!m_streams->GetObj(eStreamKey_OutputManifest, object.Receive())) return;
    qlLib::CComPtr<qlLib::IDataStream> stream = object.As<qlLib::IDataStream>(qlLib::IID_IDataStream);
    if (!stream) return;
    // The same text form as Install.mft, so a record can be read back with the same rules.
    std::wstring text = L"\xFEFF[Installed]\r\n";
    for (const std::wstring& path : installed) text += path + L"\r\n";
    if (!stream->Write(text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t))))
        TraceWarning(L"TARN::CInstallEngine::WriteOutputManifest(155) : failed to write the output manifest");
}

void CInstallEngine::FillResults(qlLib::IKeyValueCollection* results, bool installed) {
    if (!results) return;
    if (!installed) {
        results->SetDword(eResult_FailureHint, kInstallFailureHint);
        return;
    }
    const CManifestOutcome& outcome = m_manifest.Outcome();
    results->SetBool(eResult_LaunchRebootTray, outcome.rebootTray);
    results->SetBool(eResult_RemoveCache, outcome.removeCache);
    if (!outcome.followUp.empty()) results->SetWString(eResult_FollowUpCommand, outcome.followUp.c_str());
    if (outcome.hasReturnCode) results->SetDword(eResult_ReturnCode, outcome.returnCode);
}

}  // namespace TARN
