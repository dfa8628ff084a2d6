#include "package/InstallerFile.h"

#include "runtime/AdminToken.h"
#include "runtime/Handles.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

// The comparison the system's loader makes between an image and a view of a file: whether both
// are backed by the same file, not whether they hold the same bytes.
using AreMappedFilesTheSame = LONG(NTAPI*)(PVOID image, PVOID view);

// Whether the open file is the file this process's image was mapped from.
bool IsRunningImageFile(HANDLE file) {
    const auto same = reinterpret_cast<AreMappedFilesTheSame>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtAreMappedFilesTheSame")));
    if (!same) return false;
    qlLib::CKernelHandle mapping(::CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return false;
    // One page is enough to name the file: the installer may be larger than the address space.
    void* view = ::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 1);
    if (!view) return false;
    const bool running = same(::GetModuleHandleW(nullptr), view) == 0;
    ::UnmapViewOfFile(view);
    return running;
}

}  // namespace

bool CInstallerFile::Open(const std::wstring& path) {
    if (!m_file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr)) {
        m_error = m_file.GetLastError();
        return false;
    }
    if (IsRunningImageFile(m_file.Handle())) {
        m_error = ERROR_SUCCESS;
        return true;
    }
    m_error = ERROR_FILE_INVALID;
    m_file.Close();
    return false;
}

bool CInstallerFile::MayBeRead() const {
    return IsHeld() || qlLib::ProcessTokenKind() == qlLib::eToken_User;
}

HRESULT CInstallerFile::Readable(const std::wstring& path) const {
    if (MayBeRead()) return S_OK;
    TraceError(L"TARN::CInstallerFile::Readable : %s is not the file this installer runs from (%lu): not read",
               path.c_str(), m_error);
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

HRESULT CInstallerFile::Hold(CFilePacker& unpacker, const std::wstring& path) const {
    if (!IsHeld()) return Readable(path);
    if (unpacker.RequireFile(m_file.Handle())) return S_OK;
    TraceError(L"TARN::CInstallerFile::Hold : %s cannot be told apart from other files (%lu): not read", path.c_str(),
               ::GetLastError());
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

}  // namespace TARN
