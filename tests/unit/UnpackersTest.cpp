#include <gtest/gtest.h>

#include <windows.h>
#include <imagehlp.h>

#include "BuildPaths.h"
#include "package/InstallUnpacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "package/PEFileHelper.h"
#include "package/ResourceUnpacker.h"
#include "package/TestModeUnpacker.h"
#include "runtime/ComPtr.h"
#include "runtime/PathUtils.h"
#include "support/TestSupport.h"
#include "tools/ministub-build/PackageBuilder.h"

using qlLib::CComPtr;
using testing_support::CCaptureProcessTrace;
using testing_support::CTempFolder;
using testing_support::ReadFileBytes;
using namespace TARN;

namespace {

std::wstring Archive(const wchar_t* name) {
    std::wstring path;
    qlLib::JoinPath(path, testing_support::ToWinePath(UNPACKER_ARCHIVES_UNIX_PATH), name);
    return path;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Text(const std::wstring& path) {
    std::vector<BYTE> bytes;
    ReadFileBytes(path, bytes);
    return std::string(bytes.begin(), bytes.end());
}

class Unpackers : public ::testing::Test {
protected:
    // An installer of the built (unsigned) stub with the given entries.
    std::wstring Build(const std::vector<builder::CPackEntry>& entries, const wchar_t* name = L"setup.exe") {
        std::wstring out = temp.Join(name);
        std::string error;
        builder::CPackageBuilder packageBuilder;
        EXPECT_TRUE(packageBuilder.Build(testing_support::ToWinePath(MINISTUB_EXE_UNIX_PATH), entries, out, error))
            << error;
        return out;
    }
    std::wstring FullInstaller() {
        return Build({{Archive(L"ui.7z"), L"QDX-TRRootuiPackage.7z", eFileType_UIPackage},
                      {Archive(L"layout.7z"), L"QDX-TRRoot.7z", eFileType_Archive},
                      {Archive(L"install.7z"), L"QDX-TRRootInstallPackage.7z", eFileType_InstallPackage},
                      {Archive(L"scanner.7z"), L"scanner.7z", eFileType_Scanner},
                      {Archive(L"scanner.7z"), L"plain.bin", eFileType_Extract}});
    }
    CTempFolder temp;
};

// The size a registered stream reports.
ULONGLONG StreamSize(qlLib::IKeyValueCollection* streams, DWORD key) {
    CComPtr<IUnknown> object;
    if (!streams->GetObj(key, object.Receive())) return 0;
    CComPtr<qlLib::IDataStream> stream = object.As<qlLib::IDataStream>(qlLib::IID_IDataStream);
    ULONGLONG size = 0;
    return stream && stream->GetSize(&size) ? size : 0;
}

ULONGLONG FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

TEST_F(Unpackers, InstallRunExtractsOnceAndRegistersStreamsEveryTime) {
    std::wstring installer = FullInstaller();
    std::wstring cache = temp.Join(L"cache");
    // Leftovers of an earlier, broken run are cleared first.
    ASSERT_TRUE(::CreateDirectoryW(cache.c_str(), nullptr));
    ASSERT_TRUE(testing_support::WriteTextFile(cache + L"\\stale.txt", "old"));

    CComPtr<qlLib::IKeyValueCollection> streams = qlLib::CKeyValueCollectionImpl::New();
    {
        CCaptureProcessTrace trace;
        CInstallUnpacker unpacker;
        ASSERT_EQ(unpacker.ExtractPackage(streams.Get(), cache.c_str(), installer.c_str()), S_OK)
            << testing::PrintToString(trace.capture.lines);
        EXPECT_FALSE(unpacker.ExtractionComplete());
    }
    EXPECT_FALSE(Exists(cache + L"\\stale.txt"));
    EXPECT_TRUE(Exists(cache + L"\\extract.dat"));
    EXPECT_EQ(Text(cache + L"\\title.txt"), "Hello\r\n");
    EXPECT_EQ(Text(cache + L"\\Lang\\DE.txt"), "Hallo\r\n");
    // The archives stay in the installer; only the UI package reaches the disk.
    EXPECT_FALSE(Exists(cache + L"\\readme.txt"));
    EXPECT_FALSE(Exists(cache + L"\\plain.bin"));
    EXPECT_EQ(StreamSize(streams.Get(), eStreamKey_LayoutArchive), FileSize(Archive(L"layout.7z")));
    EXPECT_EQ(StreamSize(streams.Get(), eStreamKey_InstallPackage), FileSize(Archive(L"install.7z")));
    EXPECT_EQ(StreamSize(streams.Get(), eStreamKey_Scanner), FileSize(Archive(L"scanner.7z")));

    // InstStub.exe: the image with the security directory cleared (an unsigned build) and a
    // checksum that matches its bytes.
    std::wstring stub = cache + L"\\InstStub.exe";
    qlLib::CFileHandleWrapper file;
    ASSERT_TRUE(file.Open(stub.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    CPEFileHelper headers;
    ASSERT_TRUE(headers.ReadHeaders(file, false));
    EXPECT_EQ(headers.GetCertificateTableOffset(), 0u);
    EXPECT_EQ(headers.GetCertificateTableSize(), 0u);
    EXPECT_EQ(FileSize(stub), headers.GetEndOfModule() + 4u);
    DWORD stored = 0, headerSum = 0, computed = 0;
    ASSERT_TRUE(file.ReadAt(headers.GetChecksumOffset(), &stored, 4));
    ASSERT_EQ(::MapFileAndCheckSumW(stub.c_str(), &headerSum, &computed), static_cast<DWORD>(CHECKSUM_SUCCESS));
    EXPECT_EQ(stored, computed);
    file.Close();

    // A second run into the finished folder touches nothing on disk but registers the streams
    // (a file changed in place, at its size, stays as it is).
    ASSERT_TRUE(testing_support::WriteTextFile(cache + L"\\title.txt", "changed"));
    CComPtr<qlLib::IKeyValueCollection> again = qlLib::CKeyValueCollectionImpl::New();
    {
        CCaptureProcessTrace trace;
        CInstallUnpacker second;
        ASSERT_EQ(second.ExtractPackage(again.Get(), cache.c_str(), installer.c_str()), S_OK);
        EXPECT_TRUE(second.ExtractionComplete());
        EXPECT_TRUE(trace.Contains(L"extraction was completed in a previous session -- nothing extracted"));
        EXPECT_EQ(Text(cache + L"\\title.txt"), "changed");
        EXPECT_EQ(again->GetCount(), 3u);
        EXPECT_EQ(StreamSize(again.Get(), eStreamKey_LayoutArchive), FileSize(Archive(L"layout.7z")));
    }

    // A folder that lost a file the marker names is no finished folder: it is extracted again.
    ASSERT_TRUE(::DeleteFileW(stub.c_str()));
    CCaptureProcessTrace trace;
    CInstallUnpacker third;
    ASSERT_EQ(third.ExtractPackage(again.Get(), cache.c_str(), installer.c_str()), S_OK);
    EXPECT_FALSE(third.ExtractionComplete());
    EXPECT_TRUE(trace.Contains(L"extract.dat does not describe the folder: extracting again"));
    EXPECT_TRUE(Exists(stub));
    EXPECT_EQ(Text(cache + L"\\title.txt"), "Hello\r\n");
}

TEST_F(Unpackers, FailedExtractionLeavesNoMarker) {
    // A "UI package" that is no archive fails the run; the next run must start again.
    std::wstring installer = Build({{Archive(L"layout.7z"), L"QDX-TRRoot.7z", eFileType_Archive},
                                    {testing_support::ToWinePath(MINISTUB_EXE_UNIX_PATH), L"QDX-TRRootuiPackage.7z",
                                     eFileType_UIPackage}});
    std::wstring cache = temp.Join(L"cache");
    CComPtr<qlLib::IKeyValueCollection> streams = qlLib::CKeyValueCollectionImpl::New();
    CCaptureProcessTrace trace;
    CInstallUnpacker unpacker;
    EXPECT_EQ(unpacker.ExtractPackage(streams.Get(), cache.c_str(), installer.c_str()),
              static_cast<HRESULT>(0x80047C73));
    EXPECT_TRUE(trace.Contains(L"archive.Open failed: 0x80047c73"));
    EXPECT_FALSE(Exists(cache + L"\\extract.dat"));
    EXPECT_TRUE(Exists(cache + L"\\InstStub.exe"));   // the stub came first
    EXPECT_EQ(unpacker.ExtractPackage(nullptr, cache.c_str(), installer.c_str()), E_INVALIDARG);
}

TEST_F(Unpackers, ResourceUnpackerTakesOneItemOfTheUIPackage) {
    std::wstring installer = FullInstaller();
    CResourceUnpacker unpacker;
    ASSERT_TRUE(unpacker.SetItemPath(L"lang\\de.TXT"));
    std::wstring destination = temp.Join(L"out\\de.txt");
    ASSERT_EQ(unpacker.ExtractFile(installer.c_str(), destination.c_str()), S_OK);
    EXPECT_EQ(Text(destination), "Hallo\r\n");
    // Nothing else of the package is written.
    EXPECT_FALSE(Exists(temp.Join(L"out\\InstStub.exe")));

    CResourceUnpacker missing;
    missing.SetItemPath(L"Lang\\FR.txt");
    CCaptureProcessTrace trace;
    EXPECT_EQ(missing.ExtractFile(installer.c_str(), temp.Join(L"out\\fr.txt").c_str()),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(trace.Contains(L"archive.ExtractFile(Lang\\FR.txt, "));
}

TEST_F(Unpackers, TestModeWritesEveryEntryAndUnpacksTheArchives) {
    std::wstring installer = FullInstaller();
    std::wstring out = temp.Join(L"testmode");
    {
        CTestModeUnpacker unpacker(out.c_str());
        ASSERT_EQ(unpacker.Extract(installer.c_str(), false), S_OK);
    }
    for (const wchar_t* name : {L"InstStub.exe", L"QDX-TRRootuiPackage.7z", L"QDX-TRRoot.7z",
                                L"QDX-TRRootInstallPackage.7z", L"scanner.7z", L"plain.bin"}) {
        EXPECT_TRUE(Exists(out + L"\\" + name)) << name;
    }
    EXPECT_EQ(FileSize(out + L"\\QDX-TRRoot.7z"), FileSize(Archive(L"layout.7z")));
    EXPECT_FALSE(Exists(out + L"\\Archive"));

    std::wstring unpacked = temp.Join(L"testmode2");
    CTestModeUnpacker unpacker(unpacked.c_str());
    ASSERT_EQ(unpacker.Extract(installer.c_str(), true), S_OK);
    EXPECT_EQ(Text(unpacked + L"\\Archive\\Demo\\readme.txt"), "readme\r\n");
    EXPECT_TRUE(Exists(unpacked + L"\\InstallPackage\\InstallPackage\\Engine.dll"));
    EXPECT_EQ(Text(unpacked + L"\\Scanner\\scan.txt"), "scan\r\n");
    EXPECT_EQ(Text(unpacked + L"\\InstallUI\\title.txt"), "Hello\r\n");
    EXPECT_FALSE(Exists(unpacked + L"\\plain.bin\\"));
}

}  // namespace
