// The 7z reader: opens the archive (from a stream in memory, every fourth input from a file),
// walks every item's properties and extracts the whole archive, its install package folder or its
// first file (varying from input to input) into a folder of its own; nothing may be written beside
// that folder.
#include <string>

#include "fuzz/FuzzDriver.h"
#include "package/7zArchive.h"
#include "package/MemoryStreamImpl.h"
#include "runtime/FolderUtils.h"
#include "runtime/PathUtils.h"

namespace {

void FuzzSevenZip(const BYTE* data, size_t size, fuzz::CFuzzContext& context) {
    std::wstring path, out;
    const bool fromFile = context.Serial() % 4 == 3;
    if ((fromFile && !context.WriteInput(L"in.7z", path)) || !qlLib::JoinPath(out, context.Work(), L"out"))
        context.Fail("cannot write the input");
    qlLib::CComPtr<qlLib::CMemoryStreamImpl> memory;
    memory.Attach(qlLib::CreateMemoryStreamImpl());
    if (!memory || !memory->Write(data, static_cast<DWORD>(size)) || !memory->Seek(0)) context.Fail("no memory stream");
    TARN::C7zArchive* archive = nullptr;
    if (FAILED(TARN::C7zArchive::Initialize(&archive))) context.Fail("no 7z handler");
    if (SUCCEEDED(fromFile ? archive->Open(path.c_str()) : archive->Open(memory.Get()))) {
        UINT32 count = 0;
        std::wstring first;
        if (SUCCEEDED(archive->GetItemCount(&count))) {
            for (UINT32 i = 0; i < count && i < 100000; ++i) {
                std::wstring name;
                bool folder = false;
                DWORD attributes = 0;
                FILETIME time;
                const bool named = SUCCEEDED(archive->GetItemPath(i, name));
                archive->GetItemIsFolder(i, folder);
                archive->GetItemAttributes(i, attributes);
                archive->GetItemModificationTime(i, time);
                if (named && !folder && first.empty()) first = name;
            }
        }
        switch (context.Serial() % 3) {
        case 0:
            archive->ExtractArchive(out.c_str());
            break;
        case 1:
            archive->ExtractFolder(out.c_str());
            break;
        default:
            if (!first.empty() && qlLib::CreateFolderTree(out, nullptr)) {
                std::wstring target;
                if (qlLib::JoinPath(target, out, L"item")) archive->ExtractFile(first.c_str(), target.c_str());
            }
            break;
        }
        archive->Close();
    }
    archive->Release();
    context.CheckNothingEscaped({L"in.7z", L"out"});
    if (::GetFileAttributesW(out.c_str()) != INVALID_FILE_ATTRIBUTES && !qlLib::DeleteFolderTree(out, nullptr))
        context.Fail("the output folder cannot be removed");
}

}  // namespace

MINISTUB_FUZZ_MAIN("7z", FuzzSevenZip)
