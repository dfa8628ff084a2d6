#include "package/FileStreamImpl.h"

#include <climits>
#include <new>

#include "runtime/Trace.h"

namespace qlLib {

namespace {

const ULONGLONG kMaxFileOffset = static_cast<ULONGLONG>(LLONG_MAX);

}  // namespace

CFileStreamImpl* CreateFileStreamImpl() {
    try {
        return new CFileStreamImpl();
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CreateFileStreamImpl(20) : out of memory in %s", L"FileStreamImpl.cpp");
        return nullptr;
    }
}

bool CFileStreamImpl::Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                           DWORD flagsAndAttributes) {
    CCriticalSectionLock lock(m_lock);
    m_windowed = false;
    m_base = m_limit = 0;
    return m_file.Open(path, access, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr);
}

bool CFileStreamImpl::Close() {
    CCriticalSectionLock lock(m_lock);
    m_windowed = false;
    m_base = m_limit = 0;
    return m_file.Close();
}

bool CFileStreamImpl::SetBase() {
    CCriticalSectionLock lock(m_lock);
    ULONGLONG position = 0;
    if (!m_file.GetPosition(&position)) return false;
    m_windowed = true;
    m_base = position;
    m_limit = 0;
    TraceInfo(L"base adjusted to %I64d", static_cast<LONGLONG>(position));
    return true;
}

bool CFileStreamImpl::SetLimit(ULONGLONG limit) {
    CCriticalSectionLock lock(m_lock);
    if (!m_windowed) return m_file.Fail(ERROR_INVALID_FUNCTION);
    // Every position inside the window must stay a valid file offset.
    if (limit > kMaxFileOffset - m_base) return m_file.Fail(ERROR_INVALID_PARAMETER);
    m_limit = limit;
    return true;
}

bool CFileStreamImpl::HasWindow() {
    CCriticalSectionLock lock(m_lock);
    return m_windowed;
}

ULONGLONG CFileStreamImpl::GetBase() {
    CCriticalSectionLock lock(m_lock);
    return m_base;
}

ULONGLONG CFileStreamImpl::GetLimit() {
    CCriticalSectionLock lock(m_lock);
    return m_limit;
}

bool CFileStreamImpl::WindowPosition(ULONGLONG& position) {
    ULONGLONG raw = 0;
    if (!m_file.GetPosition(&raw)) return false;
    // The owner may have moved the file before the window through File().
    if (raw < m_base) return m_file.Fail(ERROR_NEGATIVE_SEEK);
    position = raw - m_base;
    return true;
}

bool STDMETHODCALLTYPE CFileStreamImpl::GetSize(ULONGLONG* size) {
    CCriticalSectionLock lock(m_lock);
    if (!size) return m_file.Fail(ERROR_INVALID_PARAMETER);
    ULONGLONG length = 0;
    if (!m_file.GetLength(&length)) return false;
    if (!m_windowed) {
        *size = length;
        return true;
    }
    // A file cut short before the window's end shows only what it still holds.
    const ULONGLONG rest = length > m_base ? length - m_base : 0;
    *size = rest < m_limit ? rest : m_limit;
    return true;
}

bool STDMETHODCALLTYPE CFileStreamImpl::SetSize(ULONGLONG size) {
    CCriticalSectionLock lock(m_lock);
    if (m_windowed) return m_file.Fail(ERROR_ACCESS_DENIED);
    return m_file.SetLength(size);
}

bool STDMETHODCALLTYPE CFileStreamImpl::GetPosition(ULONGLONG* position) {
    CCriticalSectionLock lock(m_lock);
    if (!position) return m_file.Fail(ERROR_INVALID_PARAMETER);
    ULONGLONG current = 0;
    if (!WindowPosition(current)) return false;
    if (m_windowed && current > m_limit) {
        if (!m_file.Seek(static_cast<LONGLONG>(m_base + m_limit), FILE_BEGIN)) return false;
        current = m_limit;
    }
    *position = current;
    return true;
}

bool STDMETHODCALLTYPE CFileStreamImpl::Seek(ULONGLONG position) {
    CCriticalSectionLock lock(m_lock);
    if (m_windowed && position > m_limit) position = m_limit;
    // base + limit was checked against the largest offset when the limit was set.
    if (position > kMaxFileOffset - m_base) return m_file.Fail(ERROR_INVALID_PARAMETER);
    return m_file.Seek(static_cast<LONGLONG>(m_base + position), FILE_BEGIN);
}

bool STDMETHODCALLTYPE CFileStreamImpl::Write(const void* buffer, DWORD count) {
    CCriticalSectionLock lock(m_lock);
    if (m_windowed) return m_file.Fail(ERROR_ACCESS_DENIED);
    return m_file.Write(buffer, count);
}

bool STDMETHODCALLTYPE CFileStreamImpl::Read(void* buffer, DWORD count) {
    CCriticalSectionLock lock(m_lock);
    if (m_windowed) {
        // A window is one package entry: its reader must never get the bytes that follow it
        // (the next entry, the certificate table).
        ULONGLONG position = 0;
        if (!WindowPosition(position)) return false;
        if (position > m_limit || count > m_limit - position) return m_file.Fail(ERROR_HANDLE_EOF);
    }
    return m_file.Read(buffer, count);
}

}  // namespace qlLib
