// Header fields of PE32 and PE32+ images, hostile headers, and the two patches back.
#include <gtest/gtest.h>

#include <windows.h>
#include <imagehlp.h>

#include <functional>

#include "BuildPaths.h"
#include "package/FileHandleWrapper.h"
#include "package/PEFileHelper.h"
#include "support/PeBytes.h"
#include "support/TestSupport.h"

using namespace testing_support;
using qlLib::CFileHandleWrapper;
using TARN::CPEFileHelper;

namespace {

// Writes the image and, when length is larger, extends the file (sparse where the system can).
bool WriteImage(const std::wstring& path, const Bytes& bytes, ULONGLONG length = 0) {
    if (!WriteFileBytes(path, bytes.data(), bytes.size())) return false;
    if (length <= bytes.size()) return true;
    CFileHandleWrapper file;
    return file.Open(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr) && file.SetLength(length);
}

bool Open(CFileHandleWrapper& file, const std::wstring& path, DWORD access = GENERIC_READ) {
    return file.Open(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

TEST(PEFileHelper, Pe32FieldsAndEndOfModuleFromTheLastSectionInTableOrder) {
    CTempFolder temp;
    const std::wstring path = temp.Join(L"pe32.exe");
    // The middle section ends later than the last one; the last one still ends the module.
    const Bytes image = MakeSyntheticPe(false, 0xF0, {{0x400, 0x1000}, {0x200000, 0x100}, {0xE7400, 0xAE00}},
                                        0x1C1DCA8, 0x2100, 0x400);
    ASSERT_TRUE(WriteImage(path, image, 0x1C1DCA8 + 0x2100));

    CFileHandleWrapper file;
    ASSERT_TRUE(Open(file, path));
    CPEFileHelper helper;
    ASSERT_TRUE(helper.ReadHeaders(file, false));
    EXPECT_TRUE(helper.HeadersRead());
    EXPECT_EQ(helper.GetEndOfModule(), 0xF2200u);
    EXPECT_EQ(helper.GetChecksumOffset(), 0x148u);
    EXPECT_EQ(helper.GetSecurityEntryOffset(), 0x188u);
    EXPECT_EQ(helper.GetChecksumSize(), 4u);
    EXPECT_EQ(helper.GetSecurityEntrySize(), 8u);
    EXPECT_EQ(helper.GetCertificateTableOffset(), 0x1C1DCA8u);
    EXPECT_EQ(helper.GetCertificateTableSize(), 0x2100u);

    // Once read, the helper answers from what it has: even a closed file no longer matters.
    file.Close();
    EXPECT_TRUE(helper.ReadHeaders(file, false));
    EXPECT_EQ(helper.GetEndOfModule(), 0xF2200u);

    const std::wstring path64 = temp.Join(L"pe64.exe");
    ASSERT_TRUE(WriteImage(path64, MakeSyntheticPe(true, 0x80, {{0x400, 0x200}, {0x600, 0x800}}, 0xE00, 0x10, 0xE10)));
    ASSERT_TRUE(Open(file, path64));
    CPEFileHelper helper64;
    ASSERT_TRUE(helper64.ReadHeaders(file, false));
    EXPECT_EQ(helper64.GetSecurityEntryOffset(), 0x80u + 168);
    EXPECT_EQ(helper64.GetChecksumOffset(), 0x80u + 88);
    EXPECT_EQ(helper64.GetCertificateTableOffset(), 0xE00u);
    EXPECT_EQ(helper64.GetCertificateTableSize(), 0x10u);
    EXPECT_EQ(helper64.GetEndOfModule(), 0xE00u);
}

TEST(PEFileHelper, CertificateTableOutsideTheFileFailsUnlessBoundsAreIgnored) {
    CTempFolder temp;
    struct {
        DWORD offset, size;
    } cases[] = {
        {0x5000, 0x100},   // starts past the end (a stub cut off behind its image)
        {0x100, 0x5000},   // longer than the file
        {0xC00, 0x800},    // each bound alone fits, together they reach past the end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        const std::wstring path = temp.Join(L"cut.exe");
        ASSERT_TRUE(WriteImage(path, MakeSyntheticPe(false, 0x80, {{0x400, 0x400}}, c.offset, c.size, 0x1000)));
        CFileHandleWrapper file;
        ASSERT_TRUE(Open(file, path));
        {
            CCaptureProcessTrace trace;
            CPEFileHelper checked;
            EXPECT_FALSE(checked.ReadHeaders(file, false));
            EXPECT_FALSE(checked.HeadersRead());
            EXPECT_TRUE(trace.Contains(L"CSignedPEFile::ReadHeaders() : m_dwWinCertificateLength > m_dwMaxCertificateSize"));
        }
        CPEFileHelper unchecked;
        ASSERT_TRUE(unchecked.ReadHeaders(file, true));
        EXPECT_EQ(unchecked.GetCertificateTableOffset(), c.offset);
        EXPECT_EQ(unchecked.GetEndOfModule(), 0x800u);
    }
}

TEST(PEFileHelper, HostileHeadersFailWithOneLine) {
    const DWORD lastSection = 0x80 + 24 + 224 + 40;
    struct {
        const char* name;
        std::function<void(Bytes&)> spoil;
        const wchar_t* message;
    } cases[] = {
        {"shorter than a DOS header", [](Bytes& b) { b.resize(40); }, L"Read() == FALSE"},
        {"no MZ", [](Bytes& b) { b[0] = 'Z'; }, L"IMAGE_DOS_SIGNATURE != dosHeader.e_magic"},
        {"e_lfanew past the end", [](Bytes& b) { PutDword(b, 0x3C, 0x7FFFFF00); }, L"Read() == FALSE"},
        {"negative e_lfanew", [](Bytes& b) { PutDword(b, 0x3C, 0x80000000); }, L"Read() == FALSE"},
        {"no PE signature", [](Bytes& b) { b[0x81] = 'X'; }, L"IMAGE_NT_SIGNATURE != pHeaders32->Signature"},
        {"ROM image", [](Bytes& b) { PutWord(b, 0x80 + 24, 0x107); }, L"Unknown PE header format"},
        {"no sections", [](Bytes& b) { PutWord(b, 0x80 + 6, 0); }, L"NumberOfSections == 0"},
        {"section table past the end", [](Bytes& b) { PutWord(b, 0x80 + 6, 0xFFFF); }, L"Read() == FALSE"},
        {"end of module wraps",
         [=](Bytes& b) {
             PutDword(b, lastSection + 20, 0xFFFFF000);   // PointerToRawData
             PutDword(b, lastSection + 16, 0x2000);       // SizeOfRawData
         },
         L"end of module beyond 4GB"},
    };
    CTempFolder temp;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = MakeSyntheticPe(false, 0x80, {{0x200, 0x200}, {0x400, 0x200}}, 0, 0, 0x600);
        c.spoil(image);
        const std::wstring path = temp.Join(L"bad.exe");
        ASSERT_TRUE(WriteImage(path, image));
        CFileHandleWrapper file;
        ASSERT_TRUE(Open(file, path));
        CCaptureProcessTrace trace;
        CPEFileHelper helper;
        EXPECT_FALSE(helper.ReadHeaders(file, true));
        EXPECT_FALSE(helper.HeadersRead());
        ASSERT_EQ(trace.capture.lines.size(), 1u);
        EXPECT_TRUE(trace.Contains(L"TARN::CPEFileHelper::ReadHeaders("));
        EXPECT_TRUE(trace.Contains(c.message));
    }
}

TEST(PEFileHelper, PatchesTheSecurityEntryAndChecksumOfARealImageOnly) {
    CTempFolder temp;
    Bytes original;
    ASSERT_TRUE(ReadFileBytes(ToWinePath(MINISTUB_EXE_UNIX_PATH), original));
    const std::wstring path = temp.Join(L"stub.exe");
    ASSERT_TRUE(WriteImage(path, original));

    CFileHandleWrapper file;
    ASSERT_TRUE(Open(file, path, GENERIC_READ | GENERIC_WRITE));
    CPEFileHelper helper;
    {
        // Without headers there is nowhere safe to write.
        CCaptureProcessTrace trace;
        EXPECT_FALSE(helper.UpdateSecurityDirectoryEntry(file));
        EXPECT_TRUE(trace.Contains(L"file is not accessible"));
    }
    ASSERT_TRUE(helper.ReadHeaders(file, false));
    // The stub is linked so that nothing follows its last section.
    EXPECT_EQ(helper.GetEndOfModule(), original.size());
    {
        CCaptureProcessTrace trace;
        EXPECT_FALSE(helper.UpdateChecksum(file, nullptr));
        EXPECT_TRUE(trace.Contains(L"invalid parameter - filename"));
    }
    helper.SetCertificateTable(0x1234, 0x88);
    ASSERT_TRUE(helper.UpdateSecurityDirectoryEntry(file));
    // The checksum is taken from the file on disk while this handle is open for writing.
    ASSERT_TRUE(helper.UpdateChecksum(file, path.c_str()));
    file.Close();

    Bytes patched;
    ASSERT_TRUE(ReadFileBytes(path, patched));
    const CPeLayout layout = LayoutOf(patched);
    EXPECT_EQ(GetDword(patched, layout.SecurityEntryOffset()), 0x1234u);
    EXPECT_EQ(GetDword(patched, layout.SecurityEntryOffset() + 4), 0x88u);
    DWORD headerSum = 0, checksum = 0;
    ASSERT_EQ(::MapFileAndCheckSumW(path.c_str(), &headerSum, &checksum), static_cast<DWORD>(CHECKSUM_SUCCESS));
    EXPECT_EQ(headerSum, checksum);
    EXPECT_NE(checksum, 0u);
    const std::initializer_list<std::pair<size_t, size_t>> fields = {{layout.ChecksumOffset(), 4},
                                                                      {layout.SecurityEntryOffset(), 8}};
    EXPECT_TRUE(Masked(patched, patched.size(), fields) == Masked(original, original.size(), fields));
}
