#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "BuildPaths.h"
#include "package/Archive.h"
#include "package/FilePacker.h"
#include "package/InstallerFile.h"
#include "package/MemoryStreamImpl.h"
#include "runtime/ComPtr.h"
#include "runtime/Handles.h"
#include "support/TestSupport.h"
#include "tools/ministub-build/PackageBuilder.h"

using qlLib::CComPtr;
using testing_support::CCaptureProcessTrace;
using testing_support::CTempFolder;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
using namespace TARN;

namespace {

std::vector<BYTE> Pattern(size_t size, BYTE seed) {
    std::vector<BYTE> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<BYTE>(seed + i * 7 + (i >> 8));
    return v;
}

// The built stub: stripped and unsigned, so its image ends the file.
std::vector<BYTE> StubImage() {
    std::vector<BYTE> bytes;
    EXPECT_TRUE(ReadFileBytes(testing_support::ToWinePath(MINISTUB_EXE_UNIX_PATH), bytes));
    return bytes;
}

DWORD EndOfModule(const std::vector<BYTE>& pe) {
    DWORD lfanew = 0;
    memcpy(&lfanew, &pe[0x3C], 4);
    WORD sections = 0, optionalSize = 0;
    memcpy(&sections, &pe[lfanew + 6], 2);
    memcpy(&optionalSize, &pe[lfanew + 20], 2);
    size_t last = lfanew + 24 + optionalSize + (sections - 1) * 40;
    DWORD raw = 0, rawSize = 0;
    memcpy(&rawSize, &pe[last + 16], 4);
    memcpy(&raw, &pe[last + 20], 4);
    return raw + rawSize;
}

struct CIndexItem {
    std::wstring name;
    ULONGLONG size;
    DWORD type;
};

// A package written by hand, so that every header field can be made wrong.
std::vector<BYTE> ComposeInstaller(const std::vector<BYTE>& stub, DWORD version, ULONGLONG count,
                                   const std::vector<CIndexItem>& items, const std::vector<std::vector<BYTE>>& data,
                                   const std::vector<BYTE>& extraIndex = {}, const DWORD* indexSizeOverride = nullptr) {
    qlLib::CArchive index(qlLib::CArchive::eStore);
    for (const CIndexItem& item : items) {
        index.WriteWString(item.name);
        index.WriteUInt64(item.size);
        index.WriteDword(item.type);
    }
    std::vector<BYTE> indexBytes = index.Buffer();
    indexBytes.insert(indexBytes.end(), extraIndex.begin(), extraIndex.end());
    std::vector<BYTE> out(stub.begin(), stub.begin() + EndOfModule(stub));
    out.insert(out.end(), 4, 0);   // unsigned build: placeholder
    DWORD header[5] = {kPackageMagic, version, 0, 0, static_cast<DWORD>(indexBytes.size())};
    memcpy(&header[2], &count, 8);
    if (indexSizeOverride) header[4] = *indexSizeOverride;
    const BYTE* h = reinterpret_cast<const BYTE*>(header);
    out.insert(out.end(), h, h + sizeof(header));
    out.insert(out.end(), indexBytes.begin(), indexBytes.end());
    for (const auto& d : data) out.insert(out.end(), d.begin(), d.end());
    return out;
}

struct COffered {
    DWORD type;
    std::wstring name;
    ULONGLONG size;
    std::vector<BYTE> bytes;      // what the handler read
    ULONGLONG reportedSize = 0;   // the stream's GetSize
};

// Takes each entry type the way a test tells it to, and reads what it is offered.
class CRecordingPacker : public CFilePacker {
public:
    std::map<DWORD, DWORD> modes;
    std::vector<COffered> offered;
    HRESULT failWith = S_OK;
    DWORD failOnType = 0xFFFFFFFF;

    DWORD GetExtractMode(DWORD type) override {
        auto it = modes.find(type);
        return it == modes.end() ? eExtract_Skip : it->second;
    }
    HRESULT OnExtractStream(DWORD type, qlLib::IDataStream* stream, const wchar_t* path, ULONGLONG size) override {
        COffered o{type, path ? path : L"<stub>", size, {}, 0};
        DWORD mode = GetExtractMode(type);
        if (mode != eExtract_InPlace) {
            // Own and shared windows: the entry starts at 0 and is as long as the entry.
            stream->GetSize(&o.reportedSize);
            stream->Seek(0);
        }
        o.bytes.resize(static_cast<size_t>(size));
        if (size && !stream->Read(o.bytes.data(), static_cast<DWORD>(size))) o.bytes.clear();
        offered.push_back(o);
        return type == failOnType ? failWith : S_OK;
    }
};

class FilePacker : public ::testing::Test {
protected:
    void SetUp() override { stub = StubImage(); }
    std::wstring Write(const std::vector<BYTE>& bytes, const wchar_t* name = L"installer.exe") {
        std::wstring path = temp.Join(name);
        EXPECT_TRUE(WriteFileBytes(path, bytes.data(), bytes.size()));
        return path;
    }
    CTempFolder temp;
    std::vector<BYTE> stub;
};

TEST_F(FilePacker, EveryModeDeliversExactlyItsEntry) {
    auto ui = Pattern(5000, 1), layout = Pattern(0x4001, 2), package = Pattern(33, 3), plain = Pattern(1, 4);
    std::wstring installer = Write(ComposeInstaller(
        stub, 2, 4,
        {{L"ui.7z", ui.size(), eFileType_UIPackage}, {L"root.7z", layout.size(), eFileType_Archive},
         {L"install.7z", package.size(), eFileType_InstallPackage}, {L"docs\\readme.txt", plain.size(), eFileType_Extract}},
        {ui, layout, package, plain}));
    const DWORD endOfModule = EndOfModule(stub);

    CRecordingPacker packer;
    ASSERT_TRUE(packer.ContainsPackage(installer.c_str()));
    EXPECT_EQ(packer.GetPackageOffset(), endOfModule + 4u);   // 4-byte placeholder of an unsigned build
    EXPECT_EQ(packer.GetSignatureLength(), 0u);

    packer.modes = {{eFileType_Stub, eExtract_InPlace}, {eFileType_UIPackage, eExtract_SharedWindow},
                    {eFileType_Archive, eExtract_OwnStream}, {eFileType_InstallPackage, eExtract_Skip},
                    {eFileType_Extract, eExtract_InPlace}};
    ASSERT_EQ(packer.Extract(installer.c_str()), S_OK);
    ASSERT_EQ(packer.offered.size(), 4u);
    // The stub comes first: image and placeholder, everything before the package.
    EXPECT_EQ(packer.offered[0].type, static_cast<DWORD>(eFileType_Stub));
    EXPECT_EQ(packer.offered[0].size, endOfModule + 4u);
    EXPECT_EQ(std::vector<BYTE>(packer.offered[0].bytes.begin(), packer.offered[0].bytes.begin() + endOfModule),
              std::vector<BYTE>(stub.begin(), stub.begin() + endOfModule));
    EXPECT_EQ(packer.offered[1].name, L"ui.7z");
    EXPECT_EQ(packer.offered[1].bytes, ui);
    EXPECT_EQ(packer.offered[1].reportedSize, ui.size());
    EXPECT_EQ(packer.offered[2].name, L"root.7z");
    EXPECT_EQ(packer.offered[2].bytes, layout);
    EXPECT_EQ(packer.offered[2].reportedSize, layout.size());
    // The skipped install package does not shift the plain file read in place after it.
    EXPECT_EQ(packer.offered[3].name, L"docs\\readme.txt");
    EXPECT_EQ(packer.offered[3].bytes, plain);
}

TEST_F(FilePacker, SharedWindowStaysValidAfterExtract) {
    auto first = Pattern(700, 9), second = Pattern(300, 10);
    std::wstring installer = Write(ComposeInstaller(
        stub, 2, 2, {{L"a.7z", first.size(), eFileType_Archive}, {L"b.7z", second.size(), eFileType_Extract}},
        {first, second}));
    // Keeps the stream it is given, as the layout archive's handler does.
    class CKeeping : public CFilePacker {
    public:
        CComPtr<qlLib::IDataStream> kept;
        DWORD GetExtractMode(DWORD type) override { return type == eFileType_Archive ? eExtract_SharedWindow : eExtract_Skip; }
        HRESULT OnExtractStream(DWORD, qlLib::IDataStream* stream, const wchar_t*, ULONGLONG) override {
            kept = stream;
            return S_OK;
        }
    } packer;
    ASSERT_EQ(packer.Extract(installer.c_str()), S_OK);
    ASSERT_TRUE(packer.kept);
    ULONGLONG size = 0;
    ASSERT_TRUE(packer.kept->GetSize(&size));
    EXPECT_EQ(size, first.size());
    std::vector<BYTE> read(first.size());
    ASSERT_TRUE(packer.kept->Seek(0));
    ASSERT_TRUE(packer.kept->Read(read.data(), static_cast<DWORD>(read.size())));
    EXPECT_EQ(read, first);
    // The window ends where the entry ends: the next entry's bytes are not handed out.
    BYTE more = 0;
    EXPECT_FALSE(packer.kept->Read(&more, 1));
}

TEST_F(FilePacker, AReaderHeldToOneFileReadsNoOther) {
    // The file a run judged stays open; a path that leads to another file by now is not read.
    auto entry = Pattern(100, 5);
    const std::vector<BYTE> installer =
        ComposeInstaller(stub, 2, 1, {{L"a.7z", entry.size(), eFileType_Archive}}, {entry});
    const std::wstring judged = Write(installer), other = Write(installer, L"other.exe");
    qlLib::CFileHandle held(
        ::CreateFileW(judged.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    CRecordingPacker packer;
    packer.modes = {{eFileType_Archive, eExtract_OwnStream}};
    ASSERT_TRUE(packer.RequireFile(held.Get()));
    EXPECT_EQ(packer.Extract(other.c_str()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(packer.offered.empty());
    EXPECT_EQ(packer.Extract(judged.c_str()), S_OK);
    ASSERT_EQ(packer.offered.size(), 1u);
    EXPECT_EQ(packer.offered[0].bytes, entry);
}

TEST_F(FilePacker, OnlyTheFileThisProgramRunsFromIsHeldAsTheInstaller) {
    // This test program stands in for a running installer. A byte-identical copy of it is
    // another file; its own file, once held, can be neither renamed nor written.
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const std::wstring copy = temp.Join(L"copy.exe"), moved = temp.Join(L"moved.exe");
    ASSERT_TRUE(::CopyFileW(self, copy.c_str(), FALSE));
    CInstallerFile installer;
    EXPECT_FALSE(installer.Open(copy));
    EXPECT_FALSE(installer.IsHeld());
    EXPECT_EQ(installer.Error(), static_cast<DWORD>(ERROR_FILE_INVALID));
    ASSERT_TRUE(installer.Open(self));
    const BOOL renamed = ::MoveFileW(self, moved.c_str());
    const DWORD error = ::GetLastError();
    if (renamed) ::MoveFileW(moved.c_str(), self);
    EXPECT_FALSE(renamed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    qlLib::CFileHandle writer(::CreateFileW(self, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer);
}

TEST_F(FilePacker, HeaderEdges) {
    auto data = Pattern(64, 5);
    {   // more bytes in the index than the counted entries need: ignored
        qlLib::CArchive trailing(qlLib::CArchive::eStore);
        trailing.WriteWString(std::wstring(L"lone.7z"));
        std::wstring installer = Write(ComposeInstaller(stub, 2, 1, {{L"one.bin", data.size(), eFileType_Extract}}, {data},
                                                        trailing.Buffer()), L"trailing.exe");
        CRecordingPacker packer;
        packer.modes[eFileType_Extract] = eExtract_OwnStream;
        EXPECT_EQ(packer.Extract(installer.c_str()), S_OK);
        ASSERT_EQ(packer.offered.size(), 1u);
        EXPECT_EQ(packer.offered[0].bytes, data);
    }
    {   // no entries at all; versions 0 and 1 are read as well
        for (DWORD version : {0u, 1u, 2u}) {
            std::wstring installer = Write(ComposeInstaller(stub, version, 0, {}, {}), L"empty.exe");
            CRecordingPacker packer;
            packer.modes[eFileType_Extract] = eExtract_InPlace;
            EXPECT_EQ(packer.Extract(installer.c_str()), S_OK) << version;
            EXPECT_TRUE(packer.offered.empty());
        }
    }
    {   // a version from the future
        std::wstring installer = Write(ComposeInstaller(stub, 3, 1, {{L"one.bin", data.size(), 0}}, {data}), L"v3.exe");
        CCaptureProcessTrace trace;
        CRecordingPacker packer;
        EXPECT_TRUE(packer.ContainsPackage(installer.c_str()));
        EXPECT_EQ(packer.Extract(installer.c_str()), E_UNEXPECTED);
        EXPECT_TRUE(trace.Contains(L"unexpected version (3)"));
    }
}

TEST_F(FilePacker, HostilePackagesFailCleanly) {
    auto data = Pattern(100, 6);
    struct {
        const char* what;
        std::vector<BYTE> bytes;
        const wchar_t* trace;
    } cases[] = {
        {"count far beyond the index", ComposeInstaller(stub, 2, 0xFFFFFFFFFFFFFFFFULL, {}, {data}),
         L"failed to read data from pointer archive"},
        {"entry past the end", ComposeInstaller(stub, 2, 1, {{L"a", 0x7FFFFFFFFFULL, 0}}, {data}),
         L"entry runs past the end of the file"},
        {"climbing name", ComposeInstaller(stub, 2, 1, {{L"..\\..\\evil.dll", 100, 0}}, {data}),
         L"invalid extraction path"},
        {"drive name", ComposeInstaller(stub, 2, 1, {{L"C:\\evil.dll", 100, 0}}, {data}), L"invalid extraction path"},
        {"stream name", ComposeInstaller(stub, 2, 1, {{L"a.txt:hidden", 100, 0}}, {data}), L"invalid extraction path"},
    };
    for (auto& c : cases) {
        std::wstring installer = Write(c.bytes, L"hostile.exe");
        CCaptureProcessTrace trace;
        CRecordingPacker packer;
        packer.modes[eFileType_Extract] = eExtract_OwnStream;
        EXPECT_TRUE(FAILED(packer.Extract(installer.c_str()))) << c.what;
        EXPECT_TRUE(packer.offered.empty()) << c.what;
        EXPECT_TRUE(trace.Contains(c.trace)) << c.what;
    }
    {   // an index size larger than the file is never allocated
        DWORD huge = 0xFFFFFF00;
        std::wstring installer = Write(ComposeInstaller(stub, 2, 1, {{L"a", 100, 0}}, {data}, {}, &huge), L"index.exe");
        CRecordingPacker packer;
        EXPECT_EQ(packer.Extract(installer.c_str()), HRESULT_FROM_WIN32(ERROR_HANDLE_EOF));
    }
    {   // truncated right after the image: no package, and Extract says why
        std::vector<BYTE> bare(stub.begin(), stub.begin() + EndOfModule(stub));
        std::wstring installer = Write(bare, L"bare.exe");
        CRecordingPacker packer;
        EXPECT_FALSE(packer.ContainsPackage(installer.c_str()));
        EXPECT_TRUE(FAILED(packer.Extract(installer.c_str())));
    }
    {   // not an executable, and no file at all
        std::wstring text = Write(Pattern(300, 0), L"text.exe");
        CRecordingPacker packer;
        EXPECT_FALSE(packer.ContainsPackage(text.c_str()));
        EXPECT_EQ(packer.Extract(text.c_str()), E_UNEXPECTED);
        CRecordingPacker other;
        EXPECT_EQ(other.Extract(temp.Join(L"missing.exe").c_str()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    }
}

TEST_F(FilePacker, HandlerFailureStopsAtItsEntry) {
    auto a = Pattern(10, 1), b = Pattern(20, 2), c = Pattern(30, 3);
    std::wstring installer = Write(ComposeInstaller(
        stub, 2, 3, {{L"a", 10, eFileType_Extract}, {L"b", 20, eFileType_Scanner}, {L"c", 30, eFileType_Extract}},
        {a, b, c}));
    CRecordingPacker packer;
    packer.modes = {{eFileType_Extract, eExtract_OwnStream}, {eFileType_Scanner, eExtract_OwnStream}};
    packer.failOnType = eFileType_Scanner;
    packer.failWith = E_ACCESSDENIED;
    EXPECT_EQ(packer.Extract(installer.c_str()), E_ACCESSDENIED);
    ASSERT_EQ(packer.offered.size(), 2u);
    EXPECT_EQ(packer.offered[0].bytes, a);
}

// Counts the reads a copy makes.
class CCountingStream : public qlLib::IDataStream {
public:
    explicit CCountingStream(qlLib::IDataStream* inner) : m_inner(inner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    bool STDMETHODCALLTYPE GetSize(ULONGLONG* s) override { return m_inner->GetSize(s); }
    bool STDMETHODCALLTYPE SetSize(ULONGLONG s) override { return m_inner->SetSize(s); }
    bool STDMETHODCALLTYPE GetPosition(ULONGLONG* p) override { return m_inner->GetPosition(p); }
    bool STDMETHODCALLTYPE Seek(ULONGLONG p) override { return m_inner->Seek(p); }
    bool STDMETHODCALLTYPE Write(const void* b, DWORD c) override { return m_inner->Write(b, c); }
    bool STDMETHODCALLTYPE Read(void* b, DWORD c) override {
        reads.push_back(c);
        return m_inner->Read(b, c);
    }
    std::vector<DWORD> reads;

private:
    qlLib::IDataStream* m_inner;
};

TEST_F(FilePacker, WriteStreamToDiskCopiesInChunks) {
    struct {
        size_t size;
        std::vector<DWORD> reads;
    } cases[] = {{0x4000, {0x4000}}, {0x4001, {0x4000, 1}}, {0, {}}, {0x8000 + 5, {0x4000, 0x4000, 5}}};
    for (auto& c : cases) {
        auto data = Pattern(c.size, 11);
        CComPtr<qlLib::CMemoryStreamImpl> memory = CComPtr<qlLib::CMemoryStreamImpl>::Adopt(qlLib::CreateMemoryStreamImpl());
        ASSERT_TRUE(c.size == 0 || memory->Write(data.data(), static_cast<DWORD>(c.size)));
        ASSERT_TRUE(memory->Seek(0));
        CCountingStream counting(memory.Get());
        CFilePacker packer;
        // Missing parent folders are made on the way.
        std::wstring out = temp.Join(L"deep\\er\\out.bin");
        ASSERT_EQ(packer.WriteStreamToDisk(&counting, out.c_str(), c.size), S_OK) << c.size;
        EXPECT_EQ(counting.reads, c.reads) << c.size;
        std::vector<BYTE> written;
        ASSERT_TRUE(ReadFileBytes(out, written));
        EXPECT_EQ(written, data);
    }
    {   // a stream that ends early: failure, and no half-written file left
        auto data = Pattern(100, 12);
        CComPtr<qlLib::CMemoryStreamImpl> memory = CComPtr<qlLib::CMemoryStreamImpl>::Adopt(qlLib::CreateMemoryStreamImpl());
        memory->Write(data.data(), 100);
        memory->Seek(0);
        CFilePacker packer;
        CCaptureProcessTrace trace;
        std::wstring out = temp.Join(L"short.bin");
        EXPECT_TRUE(FAILED(packer.WriteStreamToDisk(memory.Get(), out.c_str(), 200)));
        EXPECT_TRUE(trace.Contains(L"failed attempting to extract: " + out));
        EXPECT_EQ(::GetFileAttributesW(out.c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

TEST_F(FilePacker, IndexWriterSide) {
    std::wstring root = temp.Join(L"payload");
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
    auto a = Pattern(12, 1);
    ASSERT_TRUE(WriteFileBytes(root + L"\\sub\\a.txt", a.data(), a.size()));

    CFilePacker packer;
    WIN32_FIND_DATAW file = {};
    wcscpy(file.cFileName, L"a.txt");
    EXPECT_TRUE(CFilePacker::AddFolderHandler((root + L"\\sub\\a.txt").c_str(), root.c_str(), &file, &packer));
    EXPECT_TRUE(CFilePacker::AddFolderHandler((root + L"\\sub\\a.txt").c_str(), nullptr, &file, &packer));
    WIN32_FIND_DATAW folder = {};
    folder.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    wcscpy(folder.cFileName, L"sub");
    EXPECT_TRUE(CFilePacker::AddFolderHandler((root + L"\\sub").c_str(), root.c_str(), &folder, &packer));
    EXPECT_FALSE(CFilePacker::AddFolderHandler((root + L"\\sub\\a.txt").c_str(), root.c_str(), &file, nullptr));
    // A source that cannot be opened stops the walk and adds nothing.
    wcscpy(file.cFileName, L"gone.txt");
    EXPECT_FALSE(CFilePacker::AddFolderHandler((root + L"\\gone.txt").c_str(), root.c_str(), &file, &packer));

    ASSERT_EQ(packer.GetIndexCount(), 2u);
    qlLib::CArchive index(qlLib::CArchive::eLoad, const_cast<BYTE*>(packer.GetIndex().data()),
                          static_cast<DWORD>(packer.GetIndex().size()));
    std::wstring name;
    ULONGLONG size = 0;
    DWORD type = 9;
    ASSERT_TRUE(index.ReadWString(name) && index.ReadUInt64(size) && index.ReadDword(type));
    EXPECT_EQ(name, L"sub\\a.txt");
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, 0u);
    ASSERT_TRUE(index.ReadWString(name) && index.ReadUInt64(size) && index.ReadDword(type));
    EXPECT_EQ(name, L"a.txt");
    EXPECT_FALSE(index.Skip());
}

TEST_F(FilePacker, BuiltInstallerReadsBack) {
    auto ui = Pattern(0x4000, 21), plain = Pattern(3, 22);
    std::wstring stubPath = Write(stub, L"stub.exe");
    std::wstring uiPath = Write(ui, L"ui.7z"), plainPath = Write(plain, L"plain.txt");
    std::wstring out = temp.Join(L"built.exe");
    std::string error;
    builder::CPackageBuilder packageBuilder;
    ASSERT_TRUE(packageBuilder.Build(stubPath,
                                     {{uiPath, L"QDX-TRRootuiPackage.7z", eFileType_UIPackage},
                                      {plainPath, L"notes\\plain.txt", eFileType_Extract}},
                                     out, error))
        << error;
    std::vector<BYTE> built;
    ASSERT_TRUE(ReadFileBytes(out, built));
    EXPECT_EQ(built.size() % 8, 0u);   // a signature appended later starts aligned

    CRecordingPacker packer;
    packer.modes = {{eFileType_UIPackage, eExtract_OwnStream}, {eFileType_Extract, eExtract_SharedWindow}};
    ASSERT_EQ(packer.Extract(out.c_str()), S_OK);
    ASSERT_EQ(packer.offered.size(), 2u);
    EXPECT_EQ(packer.offered[0].name, L"QDX-TRRootuiPackage.7z");
    EXPECT_EQ(packer.offered[0].bytes, ui);
    EXPECT_EQ(packer.offered[1].bytes, plain);

    // A stub with anything behind its image is refused: that would be read as its signature.
    std::vector<BYTE> tail = stub;
    tail.push_back(1);
    std::wstring tailed = Write(tail, L"tailed.exe");
    EXPECT_FALSE(packageBuilder.Build(tailed, {}, temp.Join(L"never.exe"), error));
    EXPECT_NE(error.find("behind its image"), std::string::npos) << error;
    EXPECT_EQ(::GetFileAttributesW(temp.Join(L"never.exe").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesW(temp.Join(L"never.exe.partial").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
