#include "runtime/TempFolder.h"

#include <new>
#include <vector>

namespace qlLib {

namespace {

typedef DWORD(WINAPI* GetTempPathFn)(DWORD, LPWSTR);

GetTempPathFn TempPathFunction() {
    if (HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll")) {
        if (FARPROC found = ::GetProcAddress(kernel32, "GetTempPath2W"))
            return reinterpret_cast<GetTempPathFn>(reinterpret_cast<void*>(found));
    }
    return ::GetTempPathW;
}

}  // namespace

bool GetTempFolder(std::wstring& folder) {
    const GetTempPathFn getTempPath = TempPathFunction();
    try {
        std::vector<wchar_t> buffer(MAX_PATH + 1);
        DWORD length = getTempPath(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length >= buffer.size()) {
            buffer.resize(static_cast<size_t>(length) + 1);
            length = getTempPath(static_cast<DWORD>(buffer.size()), buffer.data());
            if (length >= buffer.size()) {   // it grew meanwhile
                ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return false;
            }
        }
        if (length == 0) {
            if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        folder.assign(buffer.data(), length);
        return true;
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

}  // namespace qlLib
