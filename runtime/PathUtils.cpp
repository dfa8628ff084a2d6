#include "PathUtils.h"

#include <new>

namespace qlLib {

bool JoinPath(std::wstring& out, const std::wstring& left, const std::wstring& right) noexcept {
    try {
        size_t leftEnd = left.size();
        while (leftEnd > 0 && left[leftEnd - 1] == L'\\') --leftEnd;
        size_t rightStart = 0;
        while (rightStart < right.size() && right[rightStart] == L'\\') ++rightStart;
        if (left.empty()) {
            out = right;
            return true;
        }
        if (right.empty()) {
            out = left;
            return true;
        }
        std::wstring joined;
        joined.reserve(leftEnd + 1 + (right.size() - rightStart));
        joined.append(left, 0, leftEnd);
        joined.push_back(L'\\');
        joined.append(right, rightStart, std::wstring::npos);
        out.swap(joined);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

// Whether part[0..length) equals name (upper-case ASCII) without regard to ASCII case.
bool EqualsUpper(const wchar_t* part, size_t length, const char* name) {
    size_t i = 0;
    for (; i < length && name[i]; ++i) {
        wchar_t c = part[i];
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
        if (c != static_cast<wchar_t>(name[i])) return false;
    }
    return i == length && !name[i];
}

// Whether a name opens a device rather than a file wherever it stands: "CON", "nul.txt",
// "COM1.log", "lpt9 .x". The system looks only at the part before the first dot, without its
// trailing spaces.
bool IsDeviceName(const wchar_t* part, size_t length) {
    size_t base = 0;
    while (base < length && part[base] != L'.') ++base;
    while (base > 0 && part[base - 1] == L' ') --base;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices) {
        if (EqualsUpper(part, base, device)) return true;
    }
    if (base == 4 && (EqualsUpper(part, 3, "COM") || EqualsUpper(part, 3, "LPT"))) {
        // Any digit (the documentation reserves 0 too), and the superscripts 1, 2, 3 that the
        // system also maps to ports.
        const wchar_t n = part[3];
        return (n >= L'0' && n <= L'9') || n == 0x00B9 || n == 0x00B2 || n == 0x00B3;
    }
    return false;
}

}  // namespace

bool IsSafeRelativePath(const std::wstring& path) {
    if (path.empty()) return false;
    size_t start = 0;
    for (;;) {
        size_t end = path.find_first_of(L"\\/", start);
        size_t length = (end == std::wstring::npos ? path.size() : end) - start;
        if (length == 0) return false;   // leading, doubled or trailing separator
        const wchar_t* part = path.c_str() + start;
        if ((length == 1 && part[0] == L'.') || (length == 2 && part[0] == L'.' && part[1] == L'.')) return false;
        for (size_t i = 0; i < length; ++i) {
            wchar_t c = part[i];
            if (c < 0x20 || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|') {
                return false;
            }
        }
        // The system strips trailing dots and spaces, so "..." or ". " would name the parent.
        if (part[length - 1] == L'.' || part[length - 1] == L' ') return false;
        if (IsDeviceName(part, length)) return false;
        if (end == std::wstring::npos) return true;
        start = end + 1;
    }
}

void RemoveTrailingBackslashes(std::wstring& path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
}

bool GetModulePath(HMODULE module, std::wstring& path) {
    try {
        std::wstring buffer(MAX_PATH, L'\0');
        for (;;) {
            const DWORD n = ::GetModuleFileNameW(module, &buffer[0], static_cast<DWORD>(buffer.size()));
            if (n == 0) return false;
            if (n < buffer.size()) {
                buffer.resize(n);
                path.swap(buffer);
                return true;
            }
            if (buffer.size() >= 32768) return false;
            buffer.resize(buffer.size() * 2);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool GetSystemDllPath(const wchar_t* dllName, std::wstring& path) {
    if (!dllName || !*dllName) return false;
    wchar_t folder[MAX_PATH];
    const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    return JoinPath(path, folder, dllName);
}

HMODULE LoadSystemLibrary(const wchar_t* dllName) {
    std::wstring path;
    if (!GetSystemDllPath(dllName, path)) return nullptr;
    return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void HardenDllSearchPath() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel) {
        auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
        if (setDefault) setDefault(0x00000800 /* LOAD_LIBRARY_SEARCH_SYSTEM32 */);
    }
    ::SetDllDirectoryW(L"");
}

}  // namespace qlLib
