#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "package/7zArchive.h"
#include "package/FileStreamImpl.h"
#include "package/InternalFile.h"
#include "package/MemoryStreamImpl.h"
#include "runtime/ComPtr.h"
#include "support/TestSupport.h"

using qlLib::CComPtr;
using TARN::C7zArchive;
using testing_support::CCaptureProcessTrace;
using testing_support::CTempFolder;

namespace {

const HRESULT kStreamNotArchive = static_cast<HRESULT>(0x80047C73);
const HRESULT kFileNotArchive = static_cast<HRESULT>(0x80047C74);
const HRESULT kNotFound = static_cast<HRESULT>(0x80070002);
const HRESULT kCancelled = static_cast<HRESULT>(0x800704C7);
const HRESULT kCrcFailed = static_cast<HRESULT>(0x80047C70);
const HRESULT kUnsafePath = HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);

// What make_7z_archives.py puts into the tree archives.
const wchar_t* const kTreeFiles[] = {
    L"installpackage\\Engine.dll", L"installpackage\\lang\\en.txt", L"InstallPackageOld\\stale.txt",
    L"docs\\readme.txt",           L"docs\\deep\\a\\b\\c.txt",      L"empty.bin",
    L"dated.txt",                  L"readonly.txt",                 L"tools\\setgid.dat",
};
const ULONGLONG kEmbeddedPadding = 4096;

std::wstring DataPath(const std::wstring& name) {
    return testing_support::ToWinePath(TEST_7Z_DATA_UNIX_PATH) + L"\\" + name;
}

std::wstring PayloadPath(const std::wstring& name) {
    return DataPath(L"payload\\" + name);
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<unsigned char> Bytes(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(testing_support::ReadFileBytes(path, bytes)) << path;
    return bytes;
}

void ExpectSameFile(const std::wstring& expected, const std::wstring& actual) {
    ASSERT_TRUE(Exists(actual)) << actual;
    EXPECT_TRUE(Bytes(expected) == Bytes(actual)) << actual;
}

// Everything in a folder but "." and "..".
std::vector<std::wstring> Entries(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    qlLib::CFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (::FindNextFileW(find.Get(), &data));
    return names;
}

// Read-only files would outlive the temporary folder.
void MakeWritable(const std::wstring& path) {
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

CComPtr<C7zArchive> NewArchive() {
    CComPtr<C7zArchive> archive;
    EXPECT_EQ(C7zArchive::Initialize(archive.Receive()), S_OK);
    return archive;
}

// Opened from a copy of the data file: the reader opens a file without sharing, and these tests
// also run in the stub reader's flavour, in another process at the same time.
CComPtr<C7zArchive> OpenArchive(const std::wstring& name) {
    static const CTempFolder copies;
    const std::wstring copy = copies.Join(name);
    CComPtr<C7zArchive> archive = NewArchive();
    if (archive && ::CopyFileW(DataPath(name).c_str(), copy.c_str(), FALSE)) {
        EXPECT_EQ(archive->Open(copy.c_str()), S_OK) << name;
    } else {
        ADD_FAILURE() << "no archive of " << std::string(name.begin(), name.end());
    }
    return archive;
}

class CRecordingSink : public TARN::I7zProgressSink {
public:
    void SetTotal(ULONGLONG value) override { total = value; }
    void SetCompleted(ULONGLONG value) override { completed = value; }
    ULONGLONG total = 0;
    ULONGLONG completed = 0;
};

}  // namespace

class C7zArchiveTree : public testing::TestWithParam<const wchar_t*> {};

TEST_P(C7zArchiveTree, ExtractArchiveRecreatesTheTreeWithAttributesAndTimes) {
    CTempFolder temp;
    CComPtr<C7zArchive> archive = OpenArchive(GetParam());
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->TestArchive(), S_OK);
    ASSERT_EQ(archive->ExtractArchive(temp.Path().c_str()), S_OK);
    for (const wchar_t* name : kTreeFiles) ExpectSameFile(PayloadPath(name), temp.Join(name));
    const DWORD folder = ::GetFileAttributesW(temp.Join(L"emptyfolder").c_str());
    ASSERT_NE(folder, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(folder & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(Entries(temp.Join(L"emptyfolder")).empty());

    // Unix modes stay out of the Windows attributes; read-only is kept.
    const DWORD allowed = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL;
    const std::wstring readOnly = temp.Join(L"readonly.txt");
    EXPECT_EQ(::GetFileAttributesW(readOnly.c_str()) & ~allowed, 0u);
    EXPECT_NE(::GetFileAttributesW(readOnly.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(::GetFileAttributesW(temp.Join(L"docs\\readme.txt").c_str()) & ~allowed & ~FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(::GetFileAttributesW(temp.Join(L"docs\\readme.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(::GetFileAttributesExW(temp.Join(L"dated.txt").c_str(), GetFileExInfoStandard, &data));
    SYSTEMTIME utc = {2011, 3, 0, 4, 5, 6, 7, 0};
    FILETIME expected;
    ASSERT_TRUE(::SystemTimeToFileTime(&utc, &expected));
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, expected.dwHighDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, expected.dwLowDateTime);

    // A second run replaces what the first left, read-only files included, and a longer file in
    // an item's place is cut to the item. (Wine running as root lets a read-only file be replaced
    // anyway; Windows refuses unless the attribute is cleared.)
    const std::wstring readme = temp.Join(L"docs\\readme.txt");
    ASSERT_TRUE(testing_support::WriteTextFile(readme, std::string(100000, 'x')));
    EXPECT_EQ(archive->ExtractArchive(temp.Path().c_str()), S_OK);
    EXPECT_NE(::GetFileAttributesW(readOnly.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    ExpectSameFile(PayloadPath(L"readonly.txt"), readOnly);
    ExpectSameFile(PayloadPath(L"docs\\readme.txt"), readme);
    MakeWritable(readOnly);
}

TEST_P(C7zArchiveTree, ExtractFolderTakesOnlyTheInstallPackageWithoutItsLevel) {
    CTempFolder temp;
    CComPtr<C7zArchive> archive = OpenArchive(GetParam());
    ASSERT_TRUE(archive);
    ASSERT_EQ(archive->ExtractFolder(temp.Path().c_str()), S_OK);
    ExpectSameFile(PayloadPath(L"installpackage\\Engine.dll"), temp.Join(L"Engine.dll"));
    ExpectSameFile(PayloadPath(L"installpackage\\lang\\en.txt"), temp.Join(L"lang\\en.txt"));
    std::vector<std::wstring> entries = Entries(temp.Path());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::wstring>{L"Engine.dll", L"lang"}));   // no sibling folder's files
}

TEST_P(C7zArchiveTree, ExtractFileFindsTheItemWhateverItsCase) {
    CTempFolder temp;
    CComPtr<C7zArchive> archive = OpenArchive(GetParam());
    ASSERT_TRUE(archive);
    const std::wstring target = temp.Join(L"copy\\engine-copy.dll");
    ASSERT_EQ(archive->ExtractFile(L"INSTALLPACKAGE\\engine.DLL", target.c_str()), S_OK);
    ExpectSameFile(PayloadPath(L"installpackage\\Engine.dll"), target);
    EXPECT_EQ(Entries(temp.Join(L"copy")).size(), 1u);
    EXPECT_EQ(archive->ExtractFile(L"installpackage\\missing.dll", target.c_str()), kNotFound);
}

INSTANTIATE_TEST_SUITE_P(LzmaBcj2AndLzma2, C7zArchiveTree, testing::Values(L"tree-bcj2.7z", L"tree-lzma2.7z"));

// Every coder and filter 7-Zip's own tool may choose for a 7z archive: by itself for the content
// (a WAV file, programs for each processor) or when told (make_7z_archives.py's CODER_ARCHIVES).
TEST(C7zArchive, DecodesEveryCoderAndFilterThe7ZipToolChooses) {
    struct CCoderCase {
        const wchar_t* archive;
        const wchar_t* file;
        const wchar_t* method;   // how the method reads from its start
    };
    const CCoderCase cases[] = {
        {L"auto-delta", L"sound.wav", L"Delta:4 LZMA2"},   {L"auto-bcj", L"x86.dll", L"BCJ LZMA2"},
        {L"auto-bcj2", L"x86.dll", L"BCJ2 LZMA2"},          {L"auto-arm64", L"arm64.dll", L"ARM64 LZMA2"},
        {L"auto-arm", L"arm.dll", L"ARM LZMA2"},            {L"auto-armt", L"armt.dll", L"ARMT LZMA2"},
        {L"auto-ia64", L"ia64.dll", L"IA64 LZMA2"},         {L"auto-ppc", L"libppc.so", L"PPC LZMA2"},
        {L"auto-sparc", L"libsparc.so", L"SPARC LZMA2"},    {L"auto-riscv", L"riscv.dll", L"RISCV LZMA2"},
        {L"auto-lzma2", L"notes.txt", L"LZMA2:"},           {L"mf-delta", L"data.bin", L"Delta:4 LZMA2"},
        {L"mf-bcj", L"data.bin", L"BCJ LZMA2"},             {L"mf-bcj2", L"data.bin", L"BCJ2 LZMA:"},
        {L"mf-arm64", L"data.bin", L"ARM64:4096 LZMA2"},    {L"mf-arm", L"data.bin", L"ARM LZMA2"},
        {L"mf-armt", L"data.bin", L"ARMT LZMA2"},           {L"mf-ppc", L"data.bin", L"PPC LZMA2"},
        {L"mf-sparc", L"data.bin", L"SPARC LZMA2"},         {L"mf-ia64", L"data.bin", L"IA64 LZMA2"},
        {L"mf-riscv", L"data.bin", L"RISCV:4096 LZMA2"},    {L"m0-lzma", L"notes.txt", L"LZMA:"},
        {L"mx0-copy", L"notes.txt", L"Copy"},
    };
    for (const CCoderCase& c : cases) {
        const std::wstring name = c.archive;
        SCOPED_TRACE(testing::Message() << "coder-" << std::string(name.begin(), name.end()) << ".7z");
        CComPtr<C7zArchive> archive = OpenArchive(L"coder-" + name + L".7z");
        ASSERT_TRUE(archive);
        std::wstring method;
#ifdef MINISTUB_STUB_READER_TESTS
        // The stub's reader does not list methods; it only decodes them.
        EXPECT_NE(archive->GetItemMethod(0, method), S_OK);
#else
        ASSERT_EQ(archive->GetItemMethod(0, method), S_OK);
        EXPECT_EQ(method.compare(0, ::wcslen(c.method), c.method), 0) << std::string(method.begin(), method.end());
#endif
        CTempFolder temp;
        EXPECT_EQ(archive->ExtractArchive(temp.Path().c_str()), S_OK);
        ExpectSameFile(DataPath(L"coders\\" + name + L"\\" + c.file), temp.Join(c.file));
    }
}

TEST(C7zArchive, OpenRefusesWhatDoesNotStartWithAnArchive) {
    CCaptureProcessTrace trace;
    CComPtr<C7zArchive> archive = NewArchive();
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->Open(static_cast<qlLib::IDataStream*>(nullptr)), E_INVALIDARG);

    auto text = CComPtr<qlLib::CMemoryStreamImpl>::Adopt(qlLib::CreateMemoryStreamImpl());
    const char notAnArchive[] = "this is a text, not a 7z archive, and it is long enough for a header";
    ASSERT_TRUE(text->Write(notAnArchive, sizeof(notAnArchive)));
    EXPECT_EQ(archive->Open(text.Get()), kStreamNotArchive);
    EXPECT_TRUE(trace.Contains(L"C7zArchive::Open"));
    EXPECT_TRUE(trace.Contains(L"failed to open stream archive (S_FALSE)"));

    EXPECT_EQ(archive->Open(DataPath(L"missing.7z").c_str()), kNotFound);
    // The archive inside embedded.bin is not at its start: no search for it. A copy, as above.
    CTempFolder temp;
    const std::wstring embedded = temp.Join(L"embedded.bin");
    ASSERT_TRUE(::CopyFileW(DataPath(L"embedded.bin").c_str(), embedded.c_str(), FALSE));
    EXPECT_EQ(archive->Open(embedded.c_str()), kFileNotArchive);

    // A failed open does not keep the file, which it opens without sharing.
    const std::wstring file = temp.Join(L"plain.txt");
    ASSERT_TRUE(testing_support::WriteTextFile(file, notAnArchive));
    EXPECT_EQ(archive->Open(file.c_str()), kFileNotArchive);
    EXPECT_TRUE(::DeleteFileW(file.c_str()));
}

TEST(C7zArchive, ReadsAnArchiveThroughAWindowInALargerFile) {
    auto stream = CComPtr<qlLib::CFileStreamImpl>::Adopt(qlLib::CreateFileStreamImpl());
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->Open(DataPath(L"embedded.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    WIN32_FILE_ATTRIBUTE_DATA archiveData;
    ASSERT_TRUE(::GetFileAttributesExW(DataPath(L"tree-lzma2.7z").c_str(), GetFileExInfoStandard, &archiveData));
    ASSERT_TRUE(stream->File().Seek(kEmbeddedPadding, FILE_BEGIN));
    ASSERT_TRUE(stream->SetBase());
    ASSERT_TRUE(stream->SetLimit(archiveData.nFileSizeLow));

    CRecordingSink progress;
    CTempFolder temp;
    CComPtr<C7zArchive> archive = NewArchive();
    ASSERT_TRUE(archive);
    archive->SetProgressSinks(nullptr, &progress);
    ASSERT_EQ(archive->Open(stream.Get()), S_OK);
    UINT32 count = 0;
    EXPECT_EQ(archive->GetItemCount(&count), S_OK);
    EXPECT_EQ(count, 18u);
    ASSERT_EQ(archive->ExtractArchive(temp.Path().c_str()), S_OK);
    ULONGLONG bytes = 0;
    for (const wchar_t* name : kTreeFiles) {
        ExpectSameFile(PayloadPath(name), temp.Join(name));
        bytes += Bytes(PayloadPath(name)).size();
    }
    EXPECT_EQ(progress.total, bytes);
    EXPECT_EQ(progress.completed, bytes);
    MakeWritable(temp.Join(L"readonly.txt"));
}

TEST(C7zArchive, DamagedDataFailsAndLeavesNoFileBehind) {
    CCaptureProcessTrace trace;
    {
        CTempFolder temp;
        CComPtr<C7zArchive> archive = OpenArchive(L"damaged-store.7z");
        ASSERT_TRUE(archive);
        EXPECT_EQ(archive->ExtractArchive(temp.Path().c_str()), kCrcFailed);
        EXPECT_TRUE(trace.Contains(L"CRC check failed"));
        EXPECT_TRUE(Entries(temp.Path()).empty());
        // A test decodes the same data without writing: it fails alike.
        EXPECT_EQ(archive->TestArchive(), kCrcFailed);
    }
    {
        CTempFolder temp;
        CComPtr<C7zArchive> archive = OpenArchive(L"damaged-lzma.7z");
        ASSERT_TRUE(archive);
        const HRESULT hr = archive->ExtractArchive(temp.Path().c_str());
        EXPECT_TRUE(hr == static_cast<HRESULT>(0x80047C71) || hr == kCrcFailed || hr == static_cast<HRESULT>(0x80047C79) ||
                    hr == static_cast<HRESULT>(0x80047C7A))
            << std::hex << hr;
        EXPECT_TRUE(Entries(temp.Path()).empty());
    }
}

TEST(C7zArchive, HostileItemPathsAreRefusedAndNothingIsWritten) {
    // The names make_7z_archives.py patches into hostile-NN.7z, as the reader reports them.
    const wchar_t* const hostile[] = {
        L"..\\evil.txt",   L"a\\..\\..\\evil.txt",     L"InstallPackage\\..\\..\\evil.txt",
        L"\\evil.txt",     L"C:\\evil.txt",            L"C:evil.txt",
        L"\\\\srv\\share\\evil.txt", L"\\\\?\\C:\\evil.txt", L"evil.txt:stream",
        L"CON",            L"nul.txt",                 L"sub\\COM1",
        L"lpt9.log",       L"AuX",
    };
    CCaptureProcessTrace trace;
    for (size_t i = 0; i < sizeof(hostile) / sizeof(hostile[0]); ++i) {
        wchar_t name[32];
        ::wsprintfW(name, L"hostile-%02u.7z", static_cast<unsigned>(i));
        CComPtr<C7zArchive> archive = OpenArchive(name);
        ASSERT_TRUE(archive);
        std::wstring path;
        ASSERT_EQ(archive->GetItemPath(0, path), S_OK);
        EXPECT_EQ(path, hostile[i]);

        CTempFolder temp;
        const std::wstring destination = temp.Join(L"dest");
        EXPECT_EQ(archive->ExtractArchive(destination.c_str()), kUnsafePath) << hostile[i];
        if (path.compare(0, 15, L"InstallPackage\\") == 0) {
            EXPECT_EQ(archive->ExtractFolder(destination.c_str()), kUnsafePath) << hostile[i];
        }
        EXPECT_TRUE(Entries(destination).empty()) << hostile[i];
        const std::vector<std::wstring> beside = Entries(temp.Path());
        EXPECT_TRUE(beside.empty() || beside == std::vector<std::wstring>{L"dest"}) << hostile[i];
        EXPECT_FALSE(Exists(L"C:\\evil.txt"));
    }
    EXPECT_TRUE(trace.Contains(L"unsafe item path: ..\\evil.txt"));
}

TEST(C7zArchive, CancelMakesReadsFail) {
    CTempFolder temp;
    CComPtr<C7zArchive> archive = OpenArchive(L"tree-bcj2.7z");
    ASSERT_TRUE(archive);
    archive->SetCancel(true);
    EXPECT_EQ(archive->ExtractFile(L"installpackage\\Engine.dll", temp.Join(L"Engine.dll").c_str()), kCancelled);
    EXPECT_FALSE(Exists(temp.Join(L"Engine.dll")));
    archive->SetCancel(false);
    EXPECT_EQ(archive->ExtractFile(L"installpackage\\Engine.dll", temp.Join(L"Engine.dll").c_str()), S_OK);
}

TEST(CInternalFile, WritesLargeRequestsWholeAndHonoursTheCancelFlag) {
    CTempFolder temp;
    std::atomic<bool> cancel{false};
    CComPtr<TARN::CInternalFile> file = CComPtr<TARN::CInternalFile>::Adopt(TARN::CInternalFile::Create(&cancel));
    ASSERT_TRUE(file);
    const std::wstring path = temp.Join(L"out.bin");
    ASSERT_EQ(file->Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL), S_OK);
    std::vector<unsigned char> data(200000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 31 + i / 256);
    UInt32 done = 0;
    ASSERT_EQ(file->Write(data.data(), static_cast<UInt32>(data.size()), &done), S_OK);
    EXPECT_EQ(done, data.size());

    UInt64 position = 1;
    ASSERT_EQ(file->Seek(0, STREAM_SEEK_SET, &position), S_OK);
    EXPECT_EQ(position, 0u);
    std::vector<unsigned char> back(data.size());
    ASSERT_EQ(file->Read(back.data(), static_cast<UInt32>(back.size()), &done), S_OK);
    EXPECT_EQ(done, data.size());
    EXPECT_TRUE(back == data);
    cancel = true;
    EXPECT_EQ(file->Read(back.data(), 1, &done), kCancelled);
    EXPECT_EQ(file->Close(), S_OK);
    EXPECT_EQ(Bytes(path).size(), data.size());

    // A handle without write access: the failure and how much was written are reported.
    ASSERT_EQ(file->Open(path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL), S_OK);
    EXPECT_EQ(file->Write(data.data(), 10, &done), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(done, 0u);
}
