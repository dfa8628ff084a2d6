#include "net/StatusPing.h"

#include <ctime>
#include <new>
#include <vector>

#include "runtime/Crc32.h"
#include "runtime/StringUtils.h"

namespace TARN {

bool BuildRequestToken(const std::wstring& text, DWORD seconds, std::wstring& token) {
    try {
        std::vector<char> ansi;
        if (!text.empty()) {
            const int length = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()),
                                                     nullptr, 0, nullptr, nullptr);
            if (length <= 0) return false;
            ansi.resize(static_cast<size_t>(length));
            ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), static_cast<int>(text.size()), ansi.data(), length,
                                  nullptr, nullptr);
        }
        std::wstring c, t;
        if (!qlLib::FormatString(c, L"%08x", qlLib::Crc32(ansi.data(), ansi.size())) ||
            !qlLib::FormatString(t, L"%08x", seconds))
            return false;
        const wchar_t order[] = {L'c', L'c', L'c', L't', L't', L't', L'c', L'c', L't', L't', L'c', L'c', L't', L't', L't', L'c'};
        token.assign(1, L'0');
        size_t nextC = 0, nextT = 0;
        for (wchar_t from : order) token.push_back(from == L'c' ? c[nextC++] : t[nextT++]);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool BuildRequestToken(const std::wstring& text, std::wstring& token) {
    return BuildRequestToken(text, static_cast<DWORD>(_time64(nullptr)), token);
}

}  // namespace TARN
