#pragma once
// Reading a 7z archive from a stream (a package entry read in place, or a file of its own) and
// writing its items to disk: the whole archive into a folder, the archive's install package
// folder into a folder, or one item to a file. The 7z reader itself is 7-Zip's; this header
// keeps its declarations out of the callers.
#include <windows.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "package/DataStream.h"
#include "package/FileStreamImpl.h"
#include "runtime/ComPtr.h"

struct IInArchive;
struct ISequentialOutStream;

namespace TARN {

class CInternalFile;

// Receives the reader's byte counts while an archive is opened or extracted. Extraction may
// report from the reader's worker threads.
class I7zProgressSink {
public:
    virtual void SetTotal(ULONGLONG total) = 0;
    virtual void SetCompleted(ULONGLONG completed) = 0;

protected:
    ~I7zProgressSink() = default;
};

class C7zArchive {
public:
    // A new archive object with its 7z handler and one reference for the caller.
    static HRESULT Initialize(C7zArchive** archive);

    ULONG AddRef();
    ULONG Release();

    // The archive must start at the stream's position 0 (over a window, the window's start).
    HRESULT Open(qlLib::IDataStream* stream);
    HRESULT Open(const wchar_t* path);
    // Every item below folder, with the archive's folder tree.
    HRESULT ExtractArchive(const wchar_t* folder);
    // The items of the archive's "InstallPackage" folder, directly below folder.
    HRESULT ExtractFolder(const wchar_t* folder);
    // The one item whose path equals itemPath (case-insensitive), written to destination.
    HRESULT ExtractFile(const wchar_t* itemPath, const wchar_t* destination);
    // Decodes every item and checks its CRC, writing nothing; fails as ExtractArchive would on
    // damaged data or a method without a decoder.
    HRESULT TestArchive();
    void Close();

    // Makes the reader's further reads fail with HRESULT_FROM_WIN32(ERROR_CANCELLED); may be
    // set from another thread while an extraction runs.
    void SetCancel(bool cancel) { m_cancel.store(cancel); }
    // Optional; the sinks must outlive the archive's use of them.
    void SetProgressSinks(I7zProgressSink* open, I7zProgressSink* extract);

    HRESULT GetItemCount(UINT32* count);
    // The item properties; E_UNEXPECTED when the archive has none for the item (the caller
    // keeps its default) or stores one of an unexpected type.
    HRESULT GetItemPath(UINT32 index, std::wstring& path);
    HRESULT GetItemIsFolder(UINT32 index, bool& folder);
    HRESULT GetItemAttributes(UINT32 index, DWORD& attributes);
    HRESULT GetItemModificationTime(UINT32 index, FILETIME& time);
    // The item's coders as the reader names them ("BCJ LZMA2:24"); a coder it has no decoder
    // for appears by name where the format knows it (PPMD, 7zAES), else as its hexadecimal ID.
    HRESULT GetItemMethod(UINT32 index, std::wstring& method);
    // The item whose failure ended the last extraction; false when none did, or when the
    // failure was no single item's (the archive could not be read at all).
    bool GetFailedItem(UINT32* index) const;

private:
    class CLibraryCallbacks;
    friend class CLibraryCallbacks;

    enum ERule { eRule_Archive = 1, eRule_Folder = 2, eRule_File = 3, eRule_Test = 4 };
    static const UINT32 kNoItem = 0xFFFFFFFF;

    C7zArchive() = default;
    ~C7zArchive();
    C7zArchive(const C7zArchive&) = delete;
    C7zArchive& operator=(const C7zArchive&) = delete;

    HRESULT OpenHandler(bool fromFile, const wchar_t* path);
    HRESULT Extract(ERule rule, const wchar_t* destination);
    HRESULT StreamError() const;
    // Keeps the first failure of the current extraction; returns hr.
    HRESULT RecordFailure(HRESULT hr);

    // The library's side: the input stream and the extract callback.
    HRESULT ReadInput(void* data, UINT32 size, UINT32* processedSize);
    HRESULT SeekInput(LONGLONG offset, UINT32 origin, ULONGLONG* newPosition);
    HRESULT GetStream(UINT32 index, ISequentialOutStream** stream, INT32 askMode);
    HRESULT SetOperationResult(INT32 result);
    HRESULT TargetPath(UINT32 index, bool folder, std::wstring& target);
    HRESULT CreateOutput(UINT32 index, const std::wstring& target);
    HRESULT MakeFolder(const std::wstring& folder, bool known);
    // Ends the current item's file: kept when ok, deleted otherwise.
    HRESULT FinishOutput(bool ok);

    qlLib::CRefCount m_refs;
    IInArchive* m_handler = nullptr;
    CLibraryCallbacks* m_callbacks = nullptr;
    qlLib::CComPtr<qlLib::IDataStream> m_stream;
    qlLib::CComPtr<qlLib::CFileStreamImpl> m_file;   // when opened from a path
    std::atomic<bool> m_cancel{false};
    I7zProgressSink* m_openProgress = nullptr;
    I7zProgressSink* m_extractProgress = nullptr;

    // The current extraction.
    ERule m_rule = eRule_Archive;
    std::wstring m_destination;
    std::vector<UINT32> m_selection;   // ascending; empty means every item
    std::set<std::wstring> m_madeFolders;   // made or found by this extraction: not walked again
    HRESULT m_itemFailure = S_OK;      // the first failure the callbacks reported (and traced)
    UINT32 m_currentItem = kNoItem;    // the item the handler asked a stream for last
    UINT32 m_failedItem = kNoItem;     // the item m_itemFailure belongs to

    // The item being written.
    CInternalFile* m_output = nullptr;
    std::wstring m_outputPath;
    DWORD m_outputAttributes = 0;
    bool m_outputHasTime = false;
    FILETIME m_outputTime = {};
};

}  // namespace TARN
