// Writing the embedded data block into a really signed executable (signed with osslsigncode by
// the test set-up). The signature must stay valid: ctest verifies the files left in the out
// folder with osslsigncode afterwards.
#include <gtest/gtest.h>

#include <windows.h>
#include <imagehlp.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <string>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "runtime/PathUtils.h"
#include "support/PeBytes.h"
#include "support/TestSupport.h"

using namespace testing_support;
using TARN::CFileDataExtender;

namespace {

std::wstring FixturePath(const wchar_t* relative) {
    std::wstring path;
    qlLib::JoinPath(path, ToWinePath(SIGNED_PE_UNIX_PATH), relative);
    return path;
}

bool ChecksumIsValid(const std::wstring& path) {
    DWORD headerSum = 0, checksum = 0;
    return ::MapFileAndCheckSumW(path.c_str(), &headerSum, &checksum) == CHECKSUM_SUCCESS && headerSum == checksum;
}

// Wine's answer is reliable for the first call of a process only: call it once.
LONG VerifyTrust(const std::wstring& path) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

}  // namespace

TEST(SignedFileData, BlockGoesBehindTheSignatureAndComesOffAgain) {
    Bytes signedImage;
    ASSERT_TRUE(ReadFileBytes(FixturePath(L"in\\signed.exe"), signedImage)) << "run through ctest: it signs first";
    const CPeLayout layout = LayoutOf(signedImage);
    const DWORD table = GetDword(signedImage, layout.SecurityEntryOffset());
    const DWORD tableSize = GetDword(signedImage, layout.SecurityEntryOffset() + 4);
    ASSERT_NE(table, 0u);
    ASSERT_EQ(table + tableSize, signedImage.size());
    const DWORD signatureLength = GetDword(signedImage, table);

    CTempFolder temp;
    const std::wstring path = temp.Join(L"signed.exe");
    ASSERT_TRUE(WriteFileBytes(path, signedImage.data(), signedImage.size()));

    DWORD blockLength = 0;
    {
        CFileDataExtender ext;
        ASSERT_TRUE(ext.Initialize(path.c_str(), true));
        EXPECT_TRUE(ext.IsSigned());
        EXPECT_EQ(ext.GetSignatureLength(), signatureLength);
        EXPECT_EQ(ext.GetStreamPos(), CFileDataExtender::kNoStream);
        ASSERT_TRUE(ext.SetData(1, L"{0D5A1B3C-7E9F-4A2B-8C6D-E0F1A2B3C4D5}"));
        ASSERT_TRUE(ext.SetData(2, DWORD(0x00090001)));
        ASSERT_TRUE(ext.Save());
        EXPECT_EQ(ext.GetStreamPos(), table + signatureLength);
    }

    Bytes saved;
    ASSERT_TRUE(ReadFileBytes(path, saved));
    const DWORD position = table + signatureLength;
    blockLength = GetDword(saved, position);
    EXPECT_EQ(blockLength % 16, 0u);
    EXPECT_EQ(saved.size(), position + blockLength);
    EXPECT_EQ(GetDword(saved, layout.SecurityEntryOffset()), table);
    EXPECT_EQ(GetDword(saved, layout.SecurityEntryOffset() + 4), signatureLength + blockLength);
    EXPECT_TRUE(ChecksumIsValid(path));
    // Everything the signature covers, and the signature itself, is untouched.
    const std::initializer_list<std::pair<size_t, size_t>> patched = {{layout.ChecksumOffset(), 4},
                                                                       {layout.SecurityEntryOffset() + 4, 4}};
    EXPECT_TRUE(Masked(saved, position, patched) == Masked(signedImage, signedImage.size(), patched));
    EXPECT_EQ(VerifyTrust(path), 0);
    ASSERT_TRUE(::CopyFileW(path.c_str(), FixturePath(L"out\\with-block.exe").c_str(), FALSE));

    {
        CFileDataExtender reader;
        ASSERT_TRUE(reader.Initialize(path.c_str(), false));
        EXPECT_TRUE(reader.IsSigned());
        std::wstring silo;
        EXPECT_TRUE(reader.GetData(1, &silo));
        EXPECT_EQ(silo, L"{0D5A1B3C-7E9F-4A2B-8C6D-E0F1A2B3C4D5}");
    }
    {
        // Taking the block off gives back the signed file, checksum included.
        CFileDataExtender ext;
        ASSERT_TRUE(ext.Initialize(path.c_str(), true));
        ASSERT_TRUE(ext.RemoveStreamFromModule());
    }
    Bytes removed;
    ASSERT_TRUE(ReadFileBytes(path, removed));
    EXPECT_TRUE(removed == signedImage);
    ASSERT_TRUE(::CopyFileW(path.c_str(), FixturePath(L"out\\removed.exe").c_str(), FALSE));
}
