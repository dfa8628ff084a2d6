#include "package/PlainFileStream.h"

#include <climits>
#include <new>

#include "runtime/Trace.h"

namespace qlLib {

CPlainFileStream* CreatePlainFileStream() {
    try {
        return new CPlainFileStream();
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CreatePlainFileStream(14) : out of memory in %s", L"PlainFileStream.cpp");
        return nullptr;
    }
}

bool CPlainFileStream::Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                            DWORD flagsAndAttributes) {
    CCriticalSectionLock lock(m_lock);
    return m_file.Open(path, access, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr);
}

bool CPlainFileStream::Close() {
    CCriticalSectionLock lock(m_lock);
    return m_file.Close();
}

HRESULT STDMETHODCALLTYPE CPlainFileStream::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDataStream) {
        *object = static_cast<IDataStream*>(this);
    } else if (iid == IID_IFileErrorInfo) {
        *object = static_cast<IFileErrorInfo*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CPlainFileStream::AddRef() {
    return m_refs.AddRef();
}

ULONG STDMETHODCALLTYPE CPlainFileStream::Release() {
    const ULONG count = m_refs.Release();
    if (count == 0) delete this;
    return count;
}

bool STDMETHODCALLTYPE CPlainFileStream::GetSize(ULONGLONG* size) {
    CCriticalSectionLock lock(m_lock);
    return m_file.GetLength(size);
}

bool STDMETHODCALLTYPE CPlainFileStream::SetSize(ULONGLONG size) {
    CCriticalSectionLock lock(m_lock);
    return m_file.SetLength(size) && m_file.SeekToBegin();
}

bool STDMETHODCALLTYPE CPlainFileStream::GetPosition(ULONGLONG* position) {
    CCriticalSectionLock lock(m_lock);
    if (!position) return m_file.Fail(ERROR_INVALID_PARAMETER);
    return m_file.GetPosition(position);
}

bool STDMETHODCALLTYPE CPlainFileStream::Seek(ULONGLONG position) {
    CCriticalSectionLock lock(m_lock);
    if (position > static_cast<ULONGLONG>(LLONG_MAX)) return m_file.Fail(ERROR_INVALID_PARAMETER);
    return m_file.Seek(static_cast<LONGLONG>(position), FILE_BEGIN);
}

bool STDMETHODCALLTYPE CPlainFileStream::Write(const void* buffer, DWORD count) {
    CCriticalSectionLock lock(m_lock);
    return m_file.Write(buffer, count);
}

bool STDMETHODCALLTYPE CPlainFileStream::Read(void* buffer, DWORD count) {
    CCriticalSectionLock lock(m_lock);
    return m_file.Read(buffer, count);
}

DWORD STDMETHODCALLTYPE CPlainFileStream::GetLastError() {
    CCriticalSectionLock lock(m_lock);
    return m_file.GetLastError();
}

}  // namespace qlLib
