#pragma once
// The output file the 7z reader writes one extracted item into. Only 7zArchive.cpp and tests
// include this header: it brings in the reader library's stream interfaces.
#include <windows.h>
#include <ole2.h>   // the library's headers need the OLE types a lean windows.h leaves out

#include <atomic>
#include <string>

#include "7zip/IStream.h"
#include "package/FileHandleWrapper.h"

namespace TARN {

class CInternalFile : public IOutStream, public ISequentialInStream {
public:
    // cancel, when given, is the owner's flag and must outlive the file.
    static CInternalFile* Create(const std::atomic<bool>* cancel);

    // CreateFileW's meanings; on failure the HRESULT of the system error.
    HRESULT Open(const wchar_t* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                 DWORD flagsAndAttributes);
    // Sets the last-write time; done after the data is written, because a later write would
    // move it again on file systems that track writes per handle.
    HRESULT SetLastWriteTime(const FILETIME& time);
    // Gives a freshly created file its final length before the data arrives (one call, the
    // position stays at 0); a hint only, so a refusal is not an error.
    void PresetSize(ULONGLONG size);
    HRESULT Close();
    bool IsOpen() const { return m_file.IsOpen(); }
    const std::wstring& Path() const { return m_file.Path(); }

    STDMETHOD(QueryInterface)(REFIID iid, void** object) throw() override;
    STDMETHOD_(ULONG, AddRef)() throw() override;
    STDMETHOD_(ULONG, Release)() throw() override;

    // Writes everything or fails; large requests go to the system in 64 KiB pieces.
    STDMETHOD(Write)(const void* data, UInt32 size, UInt32* processedSize) throw() override;
    // Fails with HRESULT_FROM_WIN32(ERROR_CANCELLED) once the owner's cancel flag is set.
    STDMETHOD(Read)(void* data, UInt32 size, UInt32* processedSize) throw() override;
    STDMETHOD(Seek)(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) throw() override;
    STDMETHOD(SetSize)(UInt64 newSize) throw() override;

private:
    explicit CInternalFile(const std::atomic<bool>* cancel) : m_cancel(cancel) {}
    virtual ~CInternalFile() = default;
    HRESULT LastError() const;

    volatile LONG m_refs = 1;
    const std::atomic<bool>* m_cancel;
    qlLib::CFileHandleWrapper m_file;
};

}  // namespace TARN
