#include "package/FileHandleWrapper.h"

#include <climits>
#include <new>

#include "runtime/NoLinkFile.h"

namespace qlLib {

bool CFileHandleWrapper::Fail(DWORD error) {
    // Callers turn this into an HRESULT: a failure must never read as error 0.
    m_lastError = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    return false;
}

bool CFileHandleWrapper::EnsureOpen() {
    return m_file.IsValid() || Fail(ERROR_INVALID_HANDLE);
}

bool CFileHandleWrapper::Open(const wchar_t* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                              DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    Close();
    if (!path || !*path) return Fail(ERROR_INVALID_PARAMETER);
    return Take(::CreateFileW(path, access, shareMode, security, creationDisposition, flagsAndAttributes, templateFile),
                path);
}

bool CFileHandleWrapper::OpenNoLink(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                                    DWORD flagsAndAttributes) {
    Close();
    if (!path || !*path) return Fail(ERROR_INVALID_PARAMETER);
    try {
        return Take(CreateFileNoLink(path, access, shareMode, creationDisposition, flagsAndAttributes), path);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

bool CFileHandleWrapper::Take(HANDLE file, const wchar_t* path) {
    if (file == INVALID_HANDLE_VALUE) return FailWithSystemError();
    // Callers read what the open said (ERROR_ALREADY_EXISTS) after this returns.
    const DWORD openError = ::GetLastError();
    CFileHandle owned(file);
    try {
        m_path = path;
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    m_file.Reset(owned.Detach());
    ::SetLastError(openError);
    return true;
}

bool CFileHandleWrapper::Read(void* buffer, DWORD count) {
    if (!EnsureOpen()) return false;
    if (count == 0) return true;
    if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    if (!::ReadFile(m_file.Get(), buffer, count, &done, nullptr)) return FailWithSystemError();
    // The system reports a read that hits the end of file as success with fewer bytes.
    if (done != count) return Fail(ERROR_HANDLE_EOF);
    return true;
}

bool CFileHandleWrapper::Write(const void* buffer, DWORD count) {
    if (!EnsureOpen()) return false;
    if (count == 0) return true;
    if (!buffer) return Fail(ERROR_INVALID_PARAMETER);
    // A short write (a disk that is filling up) goes on with the rest: the next call says why
    // it cannot, such as ERROR_DISK_FULL.
    const BYTE* next = static_cast<const BYTE*>(buffer);
    while (count > 0) {
        DWORD done = 0;
        if (!::WriteFile(m_file.Get(), next, count, &done, nullptr)) return FailWithSystemError();
        if (done == 0 || done > count) return Fail(ERROR_WRITE_FAULT);
        next += done;
        count -= done;
    }
    return true;
}

bool CFileHandleWrapper::ReadAt(ULONGLONG offset, void* buffer, DWORD count) {
    if (offset > static_cast<ULONGLONG>(LLONG_MAX)) return Fail(ERROR_INVALID_PARAMETER);
    return Seek(static_cast<LONGLONG>(offset), FILE_BEGIN) && Read(buffer, count);
}

bool CFileHandleWrapper::WriteAt(ULONGLONG offset, const void* buffer, DWORD count) {
    if (offset > static_cast<ULONGLONG>(LLONG_MAX)) return Fail(ERROR_INVALID_PARAMETER);
    return Seek(static_cast<LONGLONG>(offset), FILE_BEGIN) && Write(buffer, count);
}

bool CFileHandleWrapper::Seek(LONGLONG distance, DWORD method, ULONGLONG* newPosition) {
    if (!EnsureOpen()) return false;
    LONG high = static_cast<LONG>(distance >> 32);
    // INVALID_SET_FILE_POINTER is also a valid low half of a large position: only a non-zero
    // thread error tells a failure, so clear it first.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD low = ::SetFilePointer(m_file.Get(), static_cast<LONG>(distance & 0xFFFFFFFF), &high, method);
    if (low == INVALID_SET_FILE_POINTER) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS) return Fail(error);
    }
    if (newPosition) *newPosition = (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
    return true;
}

bool CFileHandleWrapper::GetLength(ULONGLONG* length) {
    if (!EnsureOpen()) return false;
    if (!length) return Fail(ERROR_INVALID_PARAMETER);
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(m_file.Get(), &size)) return FailWithSystemError();
    *length = static_cast<ULONGLONG>(size.QuadPart);
    return true;
}

bool CFileHandleWrapper::SetLength(ULONGLONG length) {
    if (length > static_cast<ULONGLONG>(LLONG_MAX)) return Fail(ERROR_INVALID_PARAMETER);
    ULONGLONG position = 0;
    if (!GetPosition(&position) || !Seek(static_cast<LONGLONG>(length), FILE_BEGIN)) return false;
    if (!::SetEndOfFile(m_file.Get())) {
        const DWORD error = ::GetLastError();
        Seek(static_cast<LONGLONG>(position), FILE_BEGIN);
        return Fail(error);
    }
    return position >= length || Seek(static_cast<LONGLONG>(position), FILE_BEGIN);
}

bool CFileHandleWrapper::Flush() {
    if (!EnsureOpen()) return false;
    return ::FlushFileBuffers(m_file.Get()) || FailWithSystemError();
}

bool CFileHandleWrapper::Close() {
    m_path.clear();
    if (!m_file.IsValid()) return true;
    return ::CloseHandle(m_file.Detach()) || FailWithSystemError();
}

}  // namespace qlLib
