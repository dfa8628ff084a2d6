#include <windows.h>
#include <ole2.h>   // the library's headers need the OLE types a lean windows.h leaves out

#include "7zip/Archive/IArchive.h"
#include "7zip/ICoder.h"
#include "7zip/IPassword.h"
#include "Windows/PropVariant.h"

#include "package/7zArchive.h"

#include "cmake/SevenZipReader.h"

#include <algorithm>
#include <new>

#include "package/InternalFile.h"
#include "runtime/FolderUtils.h"
#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

const HRESULT kStreamNotArchive = static_cast<HRESULT>(0x80047C73);
const HRESULT kFileNotArchive = static_cast<HRESULT>(0x80047C74);
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
const HRESULT kCancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);
const HRESULT kUnsafePath = HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);

// The attributes a created file may carry. Archives made on Unix put the file mode into the high
// half (flagged by 0x8000); handed to CreateFileW those bits would be FILE_FLAG_* requests such
// as delete-on-close.
const DWORD kFileAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// Attributes with which CREATE_ALWAYS refuses to replace a file unless asked for them again.
const DWORD kBlockingAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// From this size on an extracted file's length is set before its data is written.
const ULONGLONG kPresizeThreshold = 1024 * 1024;

const wchar_t kInstallPackage[] = L"InstallPackage";
const size_t kInstallPackageLength = sizeof(kInstallPackage) / sizeof(kInstallPackage[0]) - 1;

bool EqualNoCase(const wchar_t* left, size_t leftLength, const wchar_t* right, size_t rightLength) {
    return ::CompareStringOrdinal(left, static_cast<int>(leftLength), right, static_cast<int>(rightLength), TRUE) ==
           CSTR_EQUAL;
}

// The install package folder itself or an item below it; a sibling such as "InstallPackage2"
// or a file "InstallPackage.ini" is not part of it.
bool IsInstallPackageItem(const std::wstring& path) {
    if (path.size() < kInstallPackageLength ||
        !EqualNoCase(path.c_str(), kInstallPackageLength, kInstallPackage, kInstallPackageLength)) {
        return false;
    }
    return path.size() == kInstallPackageLength || path[kInstallPackageLength] == L'\\' ||
           path[kInstallPackageLength] == L'/';
}

// The library's damage results: the result each becomes, and its trace line.
HRESULT TraceOperationResult(Int32 result) {
    switch (result) {
    case NArchive::NExtract::NOperationResult::kDataError:
        TraceError(L"C7zArchive::SetOperationResult(68) : Data Error");
        return static_cast<HRESULT>(0x80047C71);
    case NArchive::NExtract::NOperationResult::kCRCError:
        TraceError(L"C7zArchive::SetOperationResult(70) : CRC check failed");
        return static_cast<HRESULT>(0x80047C70);
    case NArchive::NExtract::NOperationResult::kUnavailable:
        TraceError(L"C7zArchive::SetOperationResult(72) : Data Error2");
        return static_cast<HRESULT>(0x80047C79);
    case NArchive::NExtract::NOperationResult::kUnexpectedEnd:
        TraceError(L"C7zArchive::SetOperationResult(74) : Data Error3");
        return static_cast<HRESULT>(0x80047C7A);
    default:
        TraceError(L"C7zArchive::SetOperationResult(662) : Unsupported function");
        return static_cast<HRESULT>(0x80047C72);
    }
}

}  // namespace

// The object the library talks to: input stream, open callback and extract callback. It lives
// as long as the archive object and forwards everything to it; nothing may throw through it.
class C7zArchive::CLibraryCallbacks : public IInStream, public IArchiveOpenCallback, public IArchiveExtractCallback {
public:
    explicit CLibraryCallbacks(C7zArchive* owner) : m_owner(owner) {}

    STDMETHOD(QueryInterface)(REFIID iid, void** object) throw() override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_ISequentialInStream || iid == IID_IInStream) {
            *object = static_cast<IInStream*>(this);
        } else if (iid == IID_IArchiveOpenCallback) {
            *object = static_cast<IArchiveOpenCallback*>(this);
        } else if (iid == IID_IProgress || iid == IID_IArchiveExtractCallback) {
            *object = static_cast<IArchiveExtractCallback*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() throw() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }
    STDMETHOD_(ULONG, Release)() throw() override {
        const LONG count = ::InterlockedDecrement(&m_refs);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    STDMETHOD(Read)(void* data, UInt32 size, UInt32* processedSize) throw() override {
        return m_owner->ReadInput(data, size, processedSize);
    }
    STDMETHOD(Seek)(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) throw() override {
        return m_owner->SeekInput(offset, seekOrigin, newPosition);
    }

    // Opening.
    STDMETHOD(SetTotal)(const UInt64* /*files*/, const UInt64* bytes) throw() override {
        if (m_owner->m_openProgress && bytes) m_owner->m_openProgress->SetTotal(*bytes);
        return S_OK;
    }
    STDMETHOD(SetCompleted)(const UInt64* /*files*/, const UInt64* bytes) throw() override {
        if (m_owner->m_openProgress && bytes) m_owner->m_openProgress->SetCompleted(*bytes);
        return S_OK;
    }

    // Extracting.
    STDMETHOD(SetTotal)(UInt64 total) throw() override {
        if (m_owner->m_extractProgress) m_owner->m_extractProgress->SetTotal(total);
        return S_OK;
    }
    STDMETHOD(SetCompleted)(const UInt64* completed) throw() override {
        if (m_owner->m_extractProgress && completed) m_owner->m_extractProgress->SetCompleted(*completed);
        return S_OK;
    }
    STDMETHOD(GetStream)(UInt32 index, ISequentialOutStream** outStream, Int32 askExtractMode) throw() override {
        try {
            return m_owner->GetStream(index, outStream, askExtractMode);
        } catch (const std::bad_alloc&) {
            TraceError(L"C7zArchive::GetStream(137) : out of memory");
            return m_owner->RecordFailure(E_OUTOFMEMORY);
        }
    }
    STDMETHOD(PrepareOperation)(Int32 /*askExtractMode*/) throw() override { return S_OK; }
    STDMETHOD(SetOperationResult)(Int32 opRes) throw() override { return m_owner->SetOperationResult(opRes); }

private:
    virtual ~CLibraryCallbacks() = default;

    volatile LONG m_refs = 1;
    C7zArchive* m_owner;
};

HRESULT C7zArchive::Initialize(C7zArchive** archive) {
    if (!archive) return E_POINTER;
    *archive = nullptr;
    C7zArchive* created = new (std::nothrow) C7zArchive();
    if (created) created->m_callbacks = new (std::nothrow) CLibraryCallbacks(created);
    if (created && created->m_callbacks) {
        try {
            IInArchive* handler = CreateSevenZipReader();
            handler->AddRef();
            created->m_handler = handler;
        } catch (...) {   // the handler's constructor allocates too
        }
    }
    if (!created || !created->m_handler) {
        TraceError(L"C7zArchive::Initialize(165) : out of memory");
        if (created) created->Release();
        return E_OUTOFMEMORY;
    }
    *archive = created;
    return S_OK;
}

C7zArchive::~C7zArchive() {
    Close();
    // The handler goes first: it may hold the callbacks as its input stream.
    if (m_handler) m_handler->Release();
    if (m_callbacks) m_callbacks->Release();
}

ULONG C7zArchive::AddRef() {
    return m_refs.AddRef();
}

ULONG C7zArchive::Release() {
    const ULONG count = m_refs.Release();
    if (count == 0) delete this;
    return count;
}

void C7zArchive::SetProgressSinks(I7zProgressSink* open, I7zProgressSink* extract) {
    m_openProgress = open;
    m_extractProgress = extract;
}

void C7zArchive::Close() {
    if (m_handler) m_handler->Close();
    m_stream.Release();
    if (m_file) {
        m_file->Close();
        m_file.Release();
    }
}

HRESULT C7zArchive::Open(qlLib::IDataStream* stream) {
    if (!stream) {
        TraceError(L"C7zArchive::Open(206) : no stream");
        return E_INVALIDARG;
    }
    m_stream = stream;
    if (m_file) {
        m_file->Close();
        m_file.Release();
    }
    // The handler takes the position it starts at as the archive's beginning.
    if (!m_stream->Seek(0)) {
        TraceError(L"C7zArchive::Open(216) : failed to seek to the start of the stream");
        Close();
        return E_UNEXPECTED;
    }
    return OpenHandler(false, nullptr);
}

HRESULT C7zArchive::Open(const wchar_t* path) {
    if (!path || !*path) {
        TraceError(L"C7zArchive::Open(225) : no path");
        return E_INVALIDARG;
    }
    if (::GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            TraceError(L"C7zArchive::Open(231) : failed to open archive (file not found): %s", path);
            return kNotFound;
        }
    }
    m_stream.Release();
    if (!m_file) {
        m_file = qlLib::CComPtr<qlLib::CFileStreamImpl>::Adopt(qlLib::CreateFileStreamImpl());
        if (!m_file) return E_OUTOFMEMORY;   // traced by the factory
    }
    if (!m_file->Open(path, GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN)) {
        const DWORD error = m_file->GetLastError();
        TraceError(L"C7zArchive::Open(242) : failed to open file: %s (%lu)", path, error);
        Close();
        return HRESULT_FROM_WIN32(error);
    }
    m_stream = m_file.Get();
    return OpenHandler(true, path);
}

HRESULT C7zArchive::OpenHandler(bool fromFile, const wchar_t* path) {
    // The archive starts where the stream does: never search further into it for a signature
    // (a package entry or the stub's own file may hold other archives' bytes).
    const UInt64 maxCheckStartPosition = 0;
    HRESULT hr = m_handler->Open(m_callbacks, &maxCheckStartPosition, m_callbacks);
    if (hr == S_OK) return S_OK;
    if (hr == S_FALSE) {
        if (fromFile) {
            TraceError(L"C7zArchive::Open(258) : failed to open file archive: %s (S_FALSE)", path);
            hr = kFileNotArchive;
        } else {
            TraceError(L"C7zArchive::Open(261) : failed to open stream archive (S_FALSE)");
            hr = kStreamNotArchive;
        }
    } else if (fromFile) {
        TraceError(L"C7zArchive::Open(265) : failed to open archive: %s (0x%08x)", path, hr);
    } else {
        TraceError(L"C7zArchive::Open(267) : failed to open archive: 0x%08x", hr);
    }
    // Nothing stays held by a failed open (a file opened without sharing in particular).
    Close();
    return hr;
}

HRESULT C7zArchive::StreamError() const {
    if (m_file && m_stream.Get() == static_cast<qlLib::IDataStream*>(m_file.Get())) {
        const DWORD error = m_file->GetLastError();
        return HRESULT_FROM_WIN32(error ? error : ERROR_GEN_FAILURE);
    }
    return E_UNEXPECTED;
}

HRESULT C7zArchive::ReadInput(void* data, UINT32 size, UINT32* processedSize) {
    if (processedSize) *processedSize = 0;
    if (m_cancel.load()) return kCancelled;
    if (size == 0) return S_OK;
    if (!m_stream || !data) return E_UNEXPECTED;
    // The stream reads all or nothing, and a window refuses a read across its end: ask only for
    // what is left.
    ULONGLONG total = 0;
    ULONGLONG position = 0;
    if (!m_stream->GetSize(&total) || !m_stream->GetPosition(&position)) {
        TraceError(L"C7zArchive::Read(616) : ");
        return StreamError();
    }
    if (position >= total) return S_OK;
    const ULONGLONG rest = total - position;
    const DWORD count = rest < size ? static_cast<DWORD>(rest) : size;
    if (!m_stream->Read(data, count)) {
        TraceError(L"C7zArchive::Read(616) : ");
        return StreamError();
    }
    if (processedSize) *processedSize = count;
    return S_OK;
}

HRESULT C7zArchive::SeekInput(LONGLONG offset, UINT32 origin, ULONGLONG* newPosition) {
    if (!m_stream) return E_UNEXPECTED;
    ULONGLONG base = 0;
    switch (origin) {
    case STREAM_SEEK_SET:
        break;
    case STREAM_SEEK_CUR:
        if (!m_stream->GetPosition(&base)) {
            TraceError(L"C7zArchive::Seek(314) : Get current position");
            return StreamError();
        }
        break;
    case STREAM_SEEK_END:
        if (!m_stream->GetSize(&base)) {
            TraceError(L"C7zArchive::Seek(320) : Get end position");
            return StreamError();
        }
        break;
    default:
        TraceError(L"C7zArchive::Seek(325) : unknown origin");
        return E_UNEXPECTED;
    }
    // A damaged header can ask for a position before the start; that is an error, not a huge
    // unsigned position.
    const ULONGLONG distance = offset < 0 ? 0 - static_cast<ULONGLONG>(offset) : static_cast<ULONGLONG>(offset);
    if ((offset < 0 && distance > base) || (offset >= 0 && distance > ~0ULL - base)) {
        TraceError(L"C7zArchive::Seek(332) : position out of range");
        return HRESULT_FROM_WIN32(ERROR_NEGATIVE_SEEK);
    }
    const ULONGLONG position = offset < 0 ? base - distance : base + distance;
    if (!m_stream->Seek(position)) {
        TraceError(L"C7zArchive::Seek(337) : set position");
        return StreamError();
    }
    // A windowed stream stops at its window's end: the decoder must hear where it really is.
    ULONGLONG reached = position;
    if (newPosition && !m_stream->GetPosition(&reached)) {
        TraceError(L"C7zArchive::Seek(344) : Get new position");
        return StreamError();
    }
    if (newPosition) *newPosition = reached;
    return S_OK;
}

HRESULT C7zArchive::GetItemCount(UINT32* count) {
    if (!count) return E_POINTER;
    *count = 0;
    UInt32 items = 0;
    const HRESULT hr = m_handler->GetNumberOfItems(&items);
    if (SUCCEEDED(hr)) *count = items;
    return hr;
}

namespace {

// Reads one property of an item; S_FALSE when the archive has none for it.
HRESULT ReadProperty(IInArchive* handler, UINT32 index, PROPID id, NWindows::NCOM::CPropVariant& value) {
    UInt32 items = 0;
    HRESULT hr = handler->GetNumberOfItems(&items);
    if (FAILED(hr)) return hr;
    if (index >= items) return E_INVALIDARG;
    hr = handler->GetProperty(index, id, &value);
    if (FAILED(hr)) return hr;
    return value.vt == VT_EMPTY ? S_FALSE : S_OK;
}

HRESULT ReadTextProperty(IInArchive* handler, UINT32 index, PROPID id, std::wstring& text) {
    NWindows::NCOM::CPropVariant value;
    HRESULT hr = ReadProperty(handler, index, id, value);
    if (hr != S_OK) return FAILED(hr) ? hr : E_UNEXPECTED;
    if (value.vt != VT_BSTR) {
        TraceError(L"C7zArchive::GetProperty(373) : unexpected type (BSTR): %u", static_cast<unsigned>(value.vt));
        return E_UNEXPECTED;
    }
    text.assign(value.bstrVal ? value.bstrVal : L"", value.bstrVal ? ::SysStringLen(value.bstrVal) : 0);
    return S_OK;
}

}  // namespace

HRESULT C7zArchive::GetItemPath(UINT32 index, std::wstring& path) {
    return ReadTextProperty(m_handler, index, kpidPath, path);
}

HRESULT C7zArchive::GetItemIsFolder(UINT32 index, bool& folder) {
    NWindows::NCOM::CPropVariant value;
    HRESULT hr = ReadProperty(m_handler, index, kpidIsDir, value);
    if (hr != S_OK) return FAILED(hr) ? hr : E_UNEXPECTED;
    if (value.vt != VT_BOOL) {
        TraceError(L"C7zArchive::GetProperty(385) : unexpected type (bool): %u", static_cast<unsigned>(value.vt));
        return E_UNEXPECTED;
    }
    folder = value.boolVal != VARIANT_FALSE;
    return S_OK;
}

HRESULT C7zArchive::GetItemAttributes(UINT32 index, DWORD& attributes) {
    NWindows::NCOM::CPropVariant value;
    HRESULT hr = ReadProperty(m_handler, index, kpidAttrib, value);
    if (hr != S_OK) return FAILED(hr) ? hr : E_UNEXPECTED;
    if (value.vt != VT_UI4) {
        TraceError(L"C7zArchive::GetProperty(397) : unexpected type (DWORD): %u", static_cast<unsigned>(value.vt));
        return E_UNEXPECTED;
    }
    attributes = value.ulVal;
    return S_OK;
}

HRESULT C7zArchive::GetItemModificationTime(UINT32 index, FILETIME& time) {
    NWindows::NCOM::CPropVariant value;
    HRESULT hr = ReadProperty(m_handler, index, kpidMTime, value);
    if (hr != S_OK) return FAILED(hr) ? hr : E_UNEXPECTED;
    if (value.vt != VT_FILETIME) {
        TraceError(L"C7zArchive::GetProperty(409) : unexpected type (filetime): %u", static_cast<unsigned>(value.vt));
        return E_UNEXPECTED;
    }
    time = value.filetime;
    return S_OK;
}

HRESULT C7zArchive::GetItemMethod(UINT32 index, std::wstring& method) {
    return ReadTextProperty(m_handler, index, kpidMethod, method);
}

bool C7zArchive::GetFailedItem(UINT32* index) const {
    if (m_failedItem == kNoItem) return false;
    if (index) *index = m_failedItem;
    return true;
}

HRESULT C7zArchive::ExtractArchive(const wchar_t* folder) {
    if (!folder || !*folder) {
        TraceError(L"C7zArchive::ExtractArchive(418) : no destination folder");
        return E_INVALIDARG;
    }
    try {
        m_selection.clear();
        return Extract(eRule_Archive, folder);
    } catch (const std::bad_alloc&) {
        TraceError(L"C7zArchive::ExtractArchive(425) : out of memory");
        return E_OUTOFMEMORY;
    }
}

HRESULT C7zArchive::ExtractFolder(const wchar_t* folder) {
    if (!folder || !*folder) {
        TraceError(L"C7zArchive::ExtractFolder(432) : no destination folder");
        return E_INVALIDARG;
    }
    try {
        m_selection.clear();
        UINT32 count = 0;
        GetItemCount(&count);
        std::wstring path;
        for (UINT32 index = 0; index < count; ++index) {
            if (FAILED(GetItemPath(index, path)) || !IsInstallPackageItem(path)) continue;
            bool folder = false;
            if (path.size() == kInstallPackageLength && (FAILED(GetItemIsFolder(index, folder)) || !folder)) continue;
            m_selection.push_back(index);
        }
        if (m_selection.empty()) {
            TraceError(L"C7zArchive::ExtractFolder(447) : no %s folder in the archive", kInstallPackage);
            return kNotFound;
        }
        return Extract(eRule_Folder, folder);
    } catch (const std::bad_alloc&) {
        TraceError(L"C7zArchive::ExtractFolder(452) : out of memory");
        return E_OUTOFMEMORY;
    }
}

HRESULT C7zArchive::ExtractFile(const wchar_t* itemPath, const wchar_t* destination) {
    if (!itemPath || !*itemPath || !destination || !*destination) {
        TraceError(L"C7zArchive::ExtractFile(459) : no item path or destination");
        return E_INVALIDARG;
    }
    try {
        m_selection.clear();
        UINT32 count = 0;
        GetItemCount(&count);
        const size_t wantedLength = ::wcslen(itemPath);
        std::wstring path;
        for (UINT32 index = 0; index < count; ++index) {
            if (SUCCEEDED(GetItemPath(index, path)) && EqualNoCase(path.c_str(), path.size(), itemPath, wantedLength)) {
                m_selection.push_back(index);
                break;
            }
        }
        if (m_selection.empty()) {
            TraceError(L"C7zArchive::ExtractFile(475) : item not found: %s", itemPath);
            return kNotFound;
        }
        return Extract(eRule_File, destination);
    } catch (const std::bad_alloc&) {
        TraceError(L"C7zArchive::ExtractFile(480) : out of memory");
        return E_OUTOFMEMORY;
    }
}

HRESULT C7zArchive::TestArchive() {
    return Extract(eRule_Test, L"");
}

HRESULT C7zArchive::Extract(ERule rule, const wchar_t* destination) {
    if (!m_stream) {
        TraceError(L"C7zArchive::Extract(487) : the archive is not open");
        return E_UNEXPECTED;
    }
    m_rule = rule;
    m_destination = destination;
    m_itemFailure = S_OK;
    m_currentItem = kNoItem;
    m_failedItem = kNoItem;
    m_madeFolders.clear();
    const UInt32* indices = m_selection.empty() ? nullptr : m_selection.data();
    const UInt32 count = m_selection.empty() ? static_cast<UInt32>(-1) : static_cast<UInt32>(m_selection.size());
    HRESULT hr = m_handler->Extract(indices, count, rule == eRule_Test ? 1 : 0, m_callbacks);
    // An item the handler gave up on in the middle never got its result.
    FinishOutput(false);
    m_selection.clear();
    m_madeFolders.clear();
    if (SUCCEEDED(hr) && FAILED(m_itemFailure)) hr = m_itemFailure;
    if (FAILED(hr)) {
        // The callbacks traced their own failure already.
        if (FAILED(m_itemFailure)) return m_itemFailure;
        if (m_cancel.load()) {
            TraceError(L"C7zArchive::Extract(504) : extraction cancelled");
            return kCancelled;
        }
        TraceError(L"C7zArchive::Extract(507) : failed to extract: 0x%08x", hr);
    }
    return hr;
}

HRESULT C7zArchive::RecordFailure(HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(m_itemFailure)) {
        m_itemFailure = hr;
        m_failedItem = m_currentItem;
    }
    return hr;
}

HRESULT C7zArchive::GetStream(UINT32 index, ISequentialOutStream** stream, INT32 askMode) {
    if (!stream) return E_POINTER;
    *stream = nullptr;
    FinishOutput(false);
    m_currentItem = index;
    // Tested or skipped items (those around the wanted ones in a solid block, and the rest of a
    // block after a data error) get no stream.
    if (askMode != NArchive::NExtract::NAskMode::kExtract) return S_OK;
    if (!m_selection.empty() && !std::binary_search(m_selection.begin(), m_selection.end(), index)) return S_OK;

    bool folder = false;
    GetItemIsFolder(index, folder);   // no such property: a file
    std::wstring target;
    HRESULT hr = TargetPath(index, folder, target);
    if (FAILED(hr)) return RecordFailure(hr);
    if (folder && m_rule != eRule_File) {
        DWORD error = 0;
        if (!qlLib::CreateFolderTree(target, &error)) {
            TraceError(L"C7zArchive::GetStream(534) : failed to create folder: %s (%lu)", target.c_str(), error);
            return RecordFailure(HRESULT_FROM_WIN32(error));
        }
        m_madeFolders.insert(target);
        return S_OK;
    }
    hr = CreateOutput(index, target);
    if (FAILED(hr)) return RecordFailure(hr);
    m_output->AddRef();
    *stream = static_cast<IOutStream*>(m_output);
    return S_OK;
}

HRESULT C7zArchive::TargetPath(UINT32 index, bool folder, std::wstring& target) {
    if (m_rule == eRule_File) {
        target = m_destination;
        return S_OK;
    }
    std::wstring path;
    GetItemPath(index, path);   // no name: refused below
    std::wstring relative;
    if (m_rule == eRule_Folder) {
        // The install package folder itself becomes the destination.
        if (path.size() <= kInstallPackageLength + 1) {
            if (folder) {
                target = m_destination;
                return S_OK;
            }
        } else {
            relative = path.substr(kInstallPackageLength + 1);
        }
    } else {
        relative = path;
    }
    // Names come from the archive: nothing may leave the destination or name a device there.
    if (!qlLib::IsSafeRelativePath(relative)) {
        TraceError(L"C7zArchive::GetStream(569) : unsafe item path: %s", path.c_str());
        return kUnsafePath;
    }
    if (!qlLib::JoinPath(target, m_destination, relative)) return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT C7zArchive::MakeFolder(const std::wstring& folder, bool known) {
    // Every file of a folder would otherwise walk and test the whole chain from the root again:
    // under Wine each test is a round trip to the server.
    if (known && m_madeFolders.count(folder)) return S_OK;
    DWORD error = 0;
    if (!qlLib::CreateFolderTree(folder, &error)) {
        TraceError(L"C7zArchive::GetStream(582) : failed to create folder: %s (%lu)", folder.c_str(), error);
        return HRESULT_FROM_WIN32(error);
    }
    m_madeFolders.insert(folder);
    return S_OK;
}

HRESULT C7zArchive::CreateOutput(UINT32 index, const std::wstring& target) {
    const size_t slash = target.find_last_of(L'\\');
    std::wstring parent;
    if (slash != std::wstring::npos && slash > 0) {
        parent = target.substr(0, slash);
        const HRESULT made = MakeFolder(parent, true);
        if (FAILED(made)) return made;
    }
    DWORD attributes = 0;
    if (SUCCEEDED(GetItemAttributes(index, attributes))) {
        attributes &= kFileAttributeMask;
    } else {
        attributes = 0;
    }

    CInternalFile* file = CInternalFile::Create(&m_cancel);
    if (!file) {
        TraceError(L"C7zArchive::GetStream(601) : out of memory");
        return E_OUTOFMEMORY;
    }
    // Read-only is applied once the data is written and the file closed.
    DWORD flags = attributes & ~FILE_ATTRIBUTE_READONLY;
    if (flags == 0) flags = FILE_ATTRIBUTE_NORMAL;
    flags |= FILE_FLAG_SEQUENTIAL_SCAN;
    // Made as a new file first, replaced only when one is there: a replacing open truncates, and
    // under Wine it truncates a file it has just made too, which ext4 answers by writing the
    // data out at once when the file is closed.
    HRESULT hr = file->Open(target.c_str(), GENERIC_WRITE, 0, CREATE_NEW, flags);
    if (hr == HRESULT_FROM_WIN32(ERROR_FILE_EXISTS))
        hr = file->Open(target.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, flags);
    if (hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) {
        // An earlier run may have left the file read-only (or hidden): it is replaced all the
        // same. Asked only after a refusal, so that a fresh file costs no extra call.
        const DWORD existing = ::GetFileAttributesW(target.c_str());
        if (existing != INVALID_FILE_ATTRIBUTES && !(existing & FILE_ATTRIBUTE_DIRECTORY) &&
            (existing & kBlockingAttributes) && ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL)) {
            hr = file->Open(target.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, flags);
        }
    } else if (hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) && !parent.empty()) {
        // A folder this extraction made has gone meanwhile: make it again.
        const HRESULT made = MakeFolder(parent, false);
        if (SUCCEEDED(made)) hr = file->Open(target.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, flags);
    }
    if (FAILED(hr)) {
        TraceError(L"C7zArchive::GetStream(609) : failed to open file: %s (%lu)", target.c_str(),
                   static_cast<unsigned long>(HRESULT_CODE(hr)));
        file->Release();
        return hr;
    }
    // A large file gets its final size at once: the system then does not grow it write by write.
    NWindows::NCOM::CPropVariant size;
    if (ReadProperty(m_handler, index, kpidSize, size) == S_OK && size.vt == VT_UI8 &&
        size.uhVal.QuadPart >= kPresizeThreshold)
        file->PresetSize(size.uhVal.QuadPart);
    m_output = file;
    m_outputPath = target;
    m_outputAttributes = attributes;
    m_outputHasTime = SUCCEEDED(GetItemModificationTime(index, m_outputTime));
    return S_OK;
}

HRESULT C7zArchive::FinishOutput(bool ok) {
    if (!m_output) return S_OK;
    HRESULT hr = S_OK;
    if (ok && m_outputHasTime) {
        hr = m_output->SetLastWriteTime(m_outputTime);
        if (FAILED(hr)) TraceError(L"C7zArchive::SetOperationResult(626) : failed to set the file time: %s (0x%08x)",
                                   m_outputPath.c_str(), hr);
    }
    const HRESULT closed = m_output->Close();
    m_output->Release();
    m_output = nullptr;
    if (ok && SUCCEEDED(hr) && FAILED(closed)) {
        hr = closed;
        TraceError(L"C7zArchive::SetOperationResult(634) : failed to close file: %s (0x%08x)", m_outputPath.c_str(), hr);
    }
    if (ok && SUCCEEDED(hr) && (m_outputAttributes & FILE_ATTRIBUTE_READONLY) &&
        !::SetFileAttributesW(m_outputPath.c_str(), m_outputAttributes)) {
        hr = HRESULT_FROM_WIN32(::GetLastError());
        TraceError(L"C7zArchive::SetOperationResult(639) : failed to set attributes: %s (0x%08x)", m_outputPath.c_str(),
                   hr);
    }
    // A half-written or damaged file must not pass for an extracted one.
    if (!ok || FAILED(hr)) ::DeleteFileW(m_outputPath.c_str());
    m_outputPath.clear();
    return hr;
}

HRESULT C7zArchive::SetOperationResult(INT32 result) {
    if (result == NArchive::NExtract::NOperationResult::kOK) return RecordFailure(FinishOutput(true));
    FinishOutput(false);
    if (m_cancel.load()) {
        // The reader turns a refused read into a damaged block; the cause is the cancel.
        TraceError(L"C7zArchive::SetOperationResult(653) : extraction cancelled");
        return RecordFailure(kCancelled);
    }
    return RecordFailure(TraceOperationResult(result));
}

}  // namespace TARN
