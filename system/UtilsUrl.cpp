// The statistics servers of the failure ping and the canonical form of its query.
#include <shlwapi.h>

#include <new>
#include <vector>

#include "runtime/RegKey.h"
#include "runtime/StringUtils.h"
#include "runtime/Trace.h"
#include "system/Utils.h"

namespace TARN {

namespace {

const wchar_t kStatisticsKey[] = L"Software\\Velmor\\Statistics";
const wchar_t kTestServer[] = L"stats-test.velmor.com";
const wchar_t kProductionServer[] = L"stats.velmor.com";

// A host name or address with an optional port, and nothing that could carry a path or
// credentials into the URL.
bool IsPlainHost(const std::wstring& host) {
    return !host.empty() && host.size() < 256 &&
           host.find_first_not_of(L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") ==
               std::wstring::npos;
}

bool Canonicalize(const std::wstring& in, DWORD flags, std::wstring& out, int line) {
    try {
        std::vector<wchar_t> buffer(in.size() * 3 + 16);
        DWORD size = static_cast<DWORD>(buffer.size());
        HRESULT hr = ::UrlCanonicalizeW(in.c_str(), buffer.data(), &size, flags);
        if (hr == E_POINTER) {
            buffer.resize(size + 1);
            size = static_cast<DWORD>(buffer.size());
            hr = ::UrlCanonicalizeW(in.c_str(), buffer.data(), &size, flags);
        }
        if (FAILED(hr)) {
            if (line == 2010)
                TraceError(L"TARN::CUtils::CanonicalizePartialURL(2010) : UrlCanonicalizeW failed: 0x%08x", hr);
            else
                TraceError(L"TARN::CUtils::CanonicalizePartialURL(2021) : UrlCanonicalizeW failed: 0x%08x", hr);
            return false;
        }
        out.assign(buffer.data(), size);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

bool CUtils::GetStatisticsEndpoint(bool production, std::wstring& endpoint) {
    const wchar_t* name = production ? L"Server" : L"TestServer";
    std::wstring host;
    qlLib::CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kStatisticsKey, KEY_READ) && key.QueryString(name, host) && !IsPlainHost(host)) {
        TraceWarning(L"TARN::CUtils::GetStatisticsEndpoint(44) : ignoring %s: %s", name, host.c_str());
        host.clear();
    }
    if (host.empty() && !qlLib::FormatString(host, L"%s", production ? kProductionServer : kTestServer)) return false;
    return qlLib::FormatString(endpoint, L"http://%s/n/p", host.c_str());
}

bool CUtils::CanonicalizePartialURL(std::wstring& url) {
    try {
        const size_t question = url.find(L'?');
        std::wstring full;
        if (question != std::wstring::npos && question > 0) {
            full = url;
        } else {
            // A query alone is made a URL of the production endpoint for the canonical form.
            if (!GetStatisticsEndpoint(true, full)) return false;
            if (question == std::wstring::npos) full += L"?";
            full += url;
        }
        std::wstring escaped, canonical;
        if (!Canonicalize(full, URL_ESCAPE_UNSAFE, escaped, 2010) ||
            !Canonicalize(escaped, URL_ESCAPE_SPACES_ONLY, canonical, 2021))
            return false;
        const size_t at = canonical.find(L'?');
        if (question == 0) {
            url = at == std::wstring::npos ? std::wstring() : canonical.substr(at);
        } else if (question == std::wstring::npos) {
            url = at == std::wstring::npos ? std::wstring() : canonical.substr(at + 1);
        } else {
            url = canonical;
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace TARN
