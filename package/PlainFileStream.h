#pragma once
// A stream over a whole file: every operation goes to the file handle wrapper under the
// stream's lock. The file's last error is available through IFileErrorInfo.
#include <windows.h>

#include "package/DataStream.h"
#include "package/FileHandleWrapper.h"
#include "runtime/ComPtr.h"
#include "runtime/CriticalSection.h"

namespace qlLib {

class CPlainFileStream : public IDataStream, public IFileErrorInfo {
public:
    // CreateFileW's meanings (no security attributes, no template).
    bool Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
              DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL);
    bool Close();
    // The file itself, for its owner; calls through it bypass the stream's lock.
    CFileHandleWrapper& File() { return m_file; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) override;
    // Sets the file length, then moves the position to the start.
    bool STDMETHODCALLTYPE SetSize(ULONGLONG size) override;
    bool STDMETHODCALLTYPE GetPosition(ULONGLONG* position) override;
    bool STDMETHODCALLTYPE Seek(ULONGLONG position) override;
    bool STDMETHODCALLTYPE Write(const void* buffer, DWORD count) override;
    bool STDMETHODCALLTYPE Read(void* buffer, DWORD count) override;

    DWORD STDMETHODCALLTYPE GetLastError() override;

protected:
    friend CPlainFileStream* CreatePlainFileStream();
    CPlainFileStream() = default;
    virtual ~CPlainFileStream() = default;

    CCriticalSection m_lock;
    CFileHandleWrapper m_file;

private:
    CRefCount m_refs;
};

// A new, closed stream with one reference for the caller; null when out of memory.
CPlainFileStream* CreatePlainFileStream();

}  // namespace qlLib
