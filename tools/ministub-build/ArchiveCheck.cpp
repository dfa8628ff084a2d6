#include "tools/ministub-build/ArchiveCheck.h"

#include <cstdio>

#include "package/7zArchive.h"
#include "package/FilePacker.h"
#include "runtime/ComPtr.h"
#include "runtime/FolderUtils.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

// The reader's results for an item (C7zArchive::SetOperationResult).
const HRESULT kCrcError = static_cast<HRESULT>(0x80047C70);
const HRESULT kUnsupportedMethod = static_cast<HRESULT>(0x80047C72);
const HRESULT kUnexpectedEnd = static_cast<HRESULT>(0x80047C7A);

// Coders of the 7z format the reader has no decoder for and so shows by their IDs.
const struct {
    const wchar_t* id;
    const wchar_t* name;
} kCoderNames[] = {
    {L"040202", L"BZip2"}, {L"040108", L"Deflate"}, {L"040109", L"Deflate64"},
    {L"020302", L"SWAP2"}, {L"020304", L"SWAP4"},
};

std::string Hex(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// The method as the reader names it, with a name for each coder it shows by ID.
std::wstring MethodName(const std::wstring& method) {
    std::wstring named;
    for (size_t at = 0; at < method.size();) {
        size_t end = method.find(L' ', at);
        if (end == std::wstring::npos) end = method.size();
        std::wstring coder = method.substr(at, end - at);
        for (const auto& known : kCoderNames) {
            if (coder == known.id) coder = known.name;
        }
        named += (named.empty() ? L"" : L" ") + coder;
        at = end + 1;
    }
    return named;
}

// Why an item did not extract, in the words of a user who packed it.
std::string ItemFailure(TARN::C7zArchive* reader, UINT32 index, HRESULT hr) {
    std::wstring path, method;
    reader->GetItemPath(index, path);
    reader->GetItemMethod(index, method);
    method = MethodName(method);
    std::string text = "item " + WideToUtf8(path) + " (method " + WideToUtf8(method) + "): ";
    if (hr == kUnsupportedMethod && method.find(L"7zAES") != std::wstring::npos) {
        text += "encrypted; the stub has no password";
    } else if (hr == kUnsupportedMethod) {
        text += "the stub has no decoder for this method";
    } else if (hr == HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME)) {
        text += "a name the stub refuses to write";
    } else if (hr >= kCrcError && hr <= kUnexpectedEnd) {
        text += "damaged data";
    } else {
        text += "does not extract";
    }
    return text + " (" + Hex(hr) + ")";
}

// Reads archive back into scratch, or without writing anything when scratch is null.
bool ReadBack(const std::wstring& archive, size_t items, const std::wstring* scratch, std::string& error,
              bool& archiveAtFault) {
    DWORD code = 0;
    if (scratch) qlLib::DeleteFolderTree(*scratch, &code);
    qlLib::CComPtr<TARN::C7zArchive> reader;
    HRESULT hr = TARN::C7zArchive::Initialize(reader.Receive());
    UINT32 count = 0;
    std::string detail;
    if (SUCCEEDED(hr)) {
        hr = reader->Open(archive.c_str());
        if (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32) {
            detail = "cannot be opened (" + Hex(hr) + ")";
        } else if (FAILED(hr)) {
            detail = "not a 7z archive the stub can open, or one with encrypted headers (" + Hex(hr) + ")";
        }
    }
    if (SUCCEEDED(hr)) hr = reader->GetItemCount(&count);
    if (SUCCEEDED(hr) && items != kAnyItemCount && count != items) {
        hr = E_UNEXPECTED;
        detail = std::to_string(count) + " items instead of " + std::to_string(items);
    }
    if (SUCCEEDED(hr)) {
        hr = scratch ? reader->ExtractArchive(scratch->c_str()) : reader->TestArchive();
        UINT32 failed = 0;
        if (FAILED(hr) && reader->GetFailedItem(&failed)) detail = ItemFailure(reader.Get(), failed, hr);
    }
    reader.Release();
    if (scratch) qlLib::DeleteFolderTree(*scratch, &code);
    if (SUCCEEDED(hr)) return true;
    // This machine's part: memory, and the files and folders of the scratch side.
    archiveAtFault = hr != E_OUTOFMEMORY &&
                     (HRESULT_FACILITY(hr) != FACILITY_WIN32 || hr == HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME));
    error = detail.empty() ? "the stub's reader failed (" + Hex(hr) + ")" : detail;
    return false;
}

}  // namespace

bool CheckArchive(const std::wstring& archive, size_t items, const std::wstring& scratch, std::string& error,
                  bool& archiveAtFault) {
    return ReadBack(archive, items, &scratch, error, archiveAtFault);
}

bool TestMadeArchive(const std::wstring& archive, size_t items, std::string& error, bool& archiveAtFault) {
    return ReadBack(archive, items, nullptr, error, archiveAtFault);
}

bool IsArchiveEntry(DWORD type) {
    return type == TARN::eFileType_Archive || type == TARN::eFileType_InstallPackage ||
           type == TARN::eFileType_Scanner || type == TARN::eFileType_UIPackage;
}

bool CheckReadyArchive(const std::wstring& source, const std::wstring& name, DWORD type, const std::wstring& scratch,
                       std::string& error, bool& archiveAtFault) {
    if (!IsArchiveEntry(type)) return true;
    std::string detail;
    if (CheckArchive(source, kAnyItemCount, scratch, detail, archiveAtFault)) return true;
    error = "the stub cannot read " + WideToUtf8(source) + " (entry " + WideToUtf8(name) + "): " + detail;
    return false;
}

}  // namespace builder
