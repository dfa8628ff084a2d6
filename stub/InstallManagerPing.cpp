// The failure status ping: the first failure of a run reported once to the statistics server,
// all facts in the query string, followed by a request token.
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "net/StatusPing.h"
#include "net/WinHTTPClient.h"
#include "runtime/LanguageInfo.h"
#include "runtime/PathUtils.h"
#include "runtime/RegistryRead.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "stub/InstallManager.h"
#include "system/Utils.h"

namespace TARN {

namespace {

const char kStubVersion[] = "9.1.0.26";
const wchar_t kUnknown[] = L"<unknown>";

// WinHTTP's own requirements: Windows 2000 SP3, XP SP1, Server 2003 SP1.
bool MeetsWinHttpRequirements(const OSVERSIONINFOEXW& os) {
    const DWORD version = os.dwMajorVersion * 100 + os.dwMinorVersion;
    const bool workstation = os.wProductType == VER_NT_WORKSTATION;
    if ((version == 501 || (version == 502 && workstation)) && os.wServicePackMajor == 0) return false;
    if (version == 500 && os.wServicePackMajor < 3) return false;
    if (version == 502 && !workstation && os.wServicePackMajor == 0) return false;
    return true;
}

// ProductName and ProductVersion of the running executable's version resource (first
// translation). version.dll is no known system DLL: it is loaded from the system folder.
void ReadVersionStrings(std::wstring& product, std::wstring& version) {
    product = version = kUnknown;
    typedef DWORD(WINAPI * SizeFn)(LPCWSTR, LPDWORD);
    typedef BOOL(WINAPI * InfoFn)(LPCWSTR, DWORD, DWORD, LPVOID);
    typedef BOOL(WINAPI * QueryFn)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    qlLib::CModuleHandle module(qlLib::LoadSystemLibrary(L"version.dll"));
    if (!module) return;
    auto size = reinterpret_cast<SizeFn>(reinterpret_cast<void*>(::GetProcAddress(module.Get(), "GetFileVersionInfoSizeW")));
    auto info = reinterpret_cast<InfoFn>(reinterpret_cast<void*>(::GetProcAddress(module.Get(), "GetFileVersionInfoW")));
    auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(::GetProcAddress(module.Get(), "VerQueryValueW")));
    std::wstring self;
    if (!size || !info || !query || !qlLib::GetModulePath(nullptr, self)) return;
    DWORD handle = 0;
    const DWORD bytes = size(self.c_str(), &handle);
    if (bytes == 0) return;
    try {
        std::vector<BYTE> data(bytes);
        if (!info(self.c_str(), 0, bytes, data.data())) return;
        const WORD* translation = nullptr;
        UINT length = 0;
        if (!query(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(const_cast<WORD**>(&translation)),
                   &length) ||
            !translation || length < 2 * sizeof(WORD))
            return;
        for (int i = 0; i < 2; ++i) {
            std::wstring path;
            if (!qlLib::FormatString(path, L"\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1],
                                     i == 0 ? L"ProductName" : L"ProductVersion"))
                return;
            const wchar_t* text = nullptr;
            if (query(data.data(), path.c_str(), reinterpret_cast<LPVOID*>(const_cast<wchar_t**>(&text)), &length) &&
                text && length > 0)
                (i == 0 ? product : version) = text;
        }
    } catch (const std::bad_alloc&) {
    }
}

// Statistics servers answer with a few bytes; nothing more is read.
const DWORD kMaxPingResponse = 4096;
// Time left for a read under way when the deadline passes (twice the client's time-out).
const DWORD kPingGraceMs = 4000;

struct CPingJob {
    std::wstring query;
    DWORD deadlineMs = 0;
};

DWORD WINAPI RunPing(LPVOID parameter) {
    std::unique_ptr<std::shared_ptr<CPingJob>> holder(static_cast<std::shared_ptr<CPingJob>*>(parameter));
    const std::shared_ptr<CPingJob> job = *holder;
    const DWORD start = ::GetTickCount();
    CWinHTTPClient client;
    client.SetDisableKeepAlive(true);
    for (bool production : {false, true}) {
        const DWORD spent = ::GetTickCount() - start;
        if (spent >= job->deadlineMs) {
            TraceError(L"CInstallManager::SendPing : deadline of %lu ms passed", job->deadlineMs);
            return 0;
        }
        std::wstring endpoint, url;
        if (!CUtils::GetStatisticsEndpoint(production, endpoint) ||
            !qlLib::FormatString(url, L"%s%s", endpoint.c_str(), job->query.c_str()))
            return 0;
        HRESULT hr = client.InitializeFromURL(url.c_str());
        if (FAILED(hr)) {
            TraceError(L"CInstallManager::SendPing(3897) : Initializing winhttpclient failed: 0x%08x", hr);
            return 0;
        }
        client.SetResponseLimit(kMaxPingResponse);
        client.SetDeadline(job->deadlineMs - spent);
        HINTERNET request = nullptr;
        if (FAILED(client.Query(nullptr, 0, request))) continue;
        DWORD status = 0;
        hr = client.GetStatus(request, status);
        if (FAILED(hr)) {
            client.CloseRequest(request);
            continue;
        }
        TraceInfo(L"GetStatus returned %lu", status);
        if (status >= 500 && status <= 505) {
            TraceInfo(L"server found but ping aborted");
        } else {
            qlLib::CComPtr<qlLib::IDataStream> response;
            client.GetResponseInMemory(request, response.Receive());
        }
        client.CloseRequest(request);
        return 0;
    }
    return 0;
}

}  // namespace

void CInstallManager::SendPing(int hint, HRESULT result, DWORD count) {
    OSVERSIONINFOEXW os = {};
    os.dwOSVersionInfoSize = sizeof(os);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&os));
#pragma GCC diagnostic pop
    if (!MeetsWinHttpRequirements(os)) {
        TraceInfo(L"does not meet winhttp requirements do not ping");
        return;
    }

    std::wstring query;
    try {
        // The facts after module and error, ordered by name in code units: upper-case names first.
        enum { eOS, eA, eB, eC, eD, eLanguage, eProduct, eV, eVersion, eCount };
        static const wchar_t* const kNames[eCount] = {L"OS", L"a", L"b", L"c", L"d", L"language", L"product", L"v",
                                                      L"version"};
        std::wstring values[eCount];
        std::wstring value;
        const bool ok =
            qlLib::FormatString(values[eOS], L"%u.%u.%u.%u.%u.%u", os.dwMajorVersion, os.dwMinorVersion,
                                os.dwBuildNumber, os.wServicePackMajor, os.wServicePackMinor,
                                qlLib::IsWow64() ? 1u : 0u) &&
            qlLib::FormatString(values[eA], L"%08X", static_cast<unsigned>(result)) &&
            // Before the cache is known there is nothing to ask (and no answer to keep).
            qlLib::FormatString(values[eB], L"%d", m_installCache.empty() || NeedsPackageExtraction() ? 1 : 0) &&
            qlLib::FormatString(values[eC], L"%d", (m_quiet || m_basicUI || m_stage) ? 1 : 0) &&
            qlLib::FormatString(values[eD], L"%lu", count) &&
            qlLib::FormatString(values[eV], L"%hs", kStubVersion);
        if (!ok) return;
        qlLib::LangIDString(::GetSystemDefaultLangID(), L".", values[eLanguage]);
        ReadVersionStrings(values[eProduct], values[eVersion]);

        if (!qlLib::FormatString(query, L"?module=%s&error=%d", L"9003", hint)) return;
        for (int i = 0; i < eCount; ++i) {
            if (!qlLib::FormatString(value, L"&%s=%s", kNames[i], values[i].c_str())) return;
            query += value;
        }
        CUtils::CanonicalizePartialURL(query);
        TraceInfo(L"URL: %ls", query.c_str());
        std::wstring token;
        if (BuildRequestToken(query, token)) query += L"&zzz=" + token;
    } catch (const std::bad_alloc&) {
        return;
    }

    // The network part runs on a thread of its own: however a server behaves (headers one byte
    // at a time, a body that never ends), this run waits no longer than the deadline. A thread
    // still stuck then is left behind; it owns everything it uses and ends with the process.
    std::shared_ptr<CPingJob>* job = nullptr;
    try {
        job = new std::shared_ptr<CPingJob>(new CPingJob());   // not make_shared: see CWinHTTPClient::Query
        (*job)->query.swap(query);
        (*job)->deadlineMs = m_pingDeadlineMs;
    } catch (const std::bad_alloc&) {
        delete job;
        return;
    }
    qlLib::CKernelHandle thread(::CreateThread(nullptr, 0, &RunPing, job, 0, nullptr));
    if (!thread) {
        delete job;
        TraceError(L"CInstallManager::SendPing : no thread for the ping (%lu)", ::GetLastError());
        return;
    }
    // The thread checks the deadline between reads; this wait allows for its last read.
    if (::WaitForSingleObject(thread.Get(), m_pingDeadlineMs + kPingGraceMs) != WAIT_OBJECT_0)
        TraceError(L"CInstallManager::SendPing : no answer within %lu ms, ping given up", m_pingDeadlineMs);
}

}  // namespace TARN
