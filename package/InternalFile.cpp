#include "package/InternalFile.h"

#include <new>

#include "runtime/Trace.h"

namespace TARN {

namespace {

const UInt32 kWritePiece = 65536;

HRESULT FromWin32(DWORD error) {
    return HRESULT_FROM_WIN32(error ? error : ERROR_GEN_FAILURE);
}

}  // namespace

CInternalFile* CInternalFile::Create(const std::atomic<bool>* cancel) {
    return new (std::nothrow) CInternalFile(cancel);
}

HRESULT CInternalFile::LastError() const {
    return FromWin32(m_file.GetLastError());
}

HRESULT CInternalFile::Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                            DWORD flagsAndAttributes) {
    if (!m_file.Open(path, access, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr)) {
        return LastError();
    }
    return S_OK;
}

HRESULT CInternalFile::SetLastWriteTime(const FILETIME& time) {
    if (!::SetFileTime(m_file.Handle(), nullptr, nullptr, &time)) return FromWin32(::GetLastError());
    return S_OK;
}

void CInternalFile::PresetSize(ULONGLONG size) {
    FILE_END_OF_FILE_INFO end = {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    ::SetFileInformationByHandle(m_file.Handle(), FileEndOfFileInfo, &end, sizeof(end));
}

HRESULT CInternalFile::Close() {
    if (!m_file.IsOpen()) return S_OK;
    return m_file.Close() ? S_OK : LastError();
}

HRESULT STDMETHODCALLTYPE CInternalFile::QueryInterface(REFIID iid, void** object) throw() {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialOutStream || iid == IID_IOutStream) {
        *object = static_cast<IOutStream*>(this);
    } else if (iid == IID_ISequentialInStream) {
        *object = static_cast<ISequentialInStream*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CInternalFile::AddRef() throw() {
    return static_cast<ULONG>(::InterlockedIncrement(&m_refs));
}

ULONG STDMETHODCALLTYPE CInternalFile::Release() throw() {
    const LONG count = ::InterlockedDecrement(&m_refs);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CInternalFile::Write(const void* data, UInt32 size, UInt32* processedSize) throw() {
    if (processedSize) *processedSize = 0;
    const BYTE* next = static_cast<const BYTE*>(data);
    while (size > 0) {
        const UInt32 piece = size > kWritePiece ? kWritePiece : size;
        if (!m_file.Write(next, piece)) {
            TraceError(L"CInternalFile::Write(75) : failed to write to output file: %lu", m_file.GetLastError());
            return LastError();
        }
        next += piece;
        size -= piece;
        if (processedSize) *processedSize += piece;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalFile::Read(void* data, UInt32 size, UInt32* processedSize) throw() {
    if (processedSize) *processedSize = 0;
    if (m_cancel && m_cancel->load()) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
    DWORD read = 0;
    if (!::ReadFile(m_file.Handle(), data, size, &read, nullptr)) {
        const DWORD error = ::GetLastError();
        TraceError(L"CInternalFile::Read(91) : ReadFile failed: %lu", error);
        return FromWin32(error);
    }
    if (processedSize) *processedSize = read;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalFile::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) throw() {
    // The library's origins are the system's: 0 begin, 1 current, 2 end.
    if (seekOrigin > FILE_END) return STG_E_INVALIDFUNCTION;
    ULONGLONG position = 0;
    if (!m_file.Seek(offset, seekOrigin, &position)) return LastError();
    if (newPosition) *newPosition = position;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CInternalFile::SetSize(UInt64 newSize) throw() {
    return m_file.SetLength(newSize) ? S_OK : LastError();
}

}  // namespace TARN
