// Writing the embedded data block into a really signed executable (signed with osslsigncode by
// the test set-up), behind its signature and inside it. The signature must stay valid: ctest
// verifies the files left in the out folder with osslsigncode afterwards.
#include <gtest/gtest.h>

#include <windows.h>
#include <imagehlp.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "BuildPaths.h"
#include "package/FileDataExtender.h"
#include "package/SignerAttribute.h"
#include "runtime/PathUtils.h"
#include "support/PeBytes.h"
#include "support/TestInstaller.h"
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

namespace {

// The PKCS#7 message of a file's signature (behind the 8-byte certificate header), as stored.
Bytes SignatureMessage(const Bytes& image) {
    const CPeLayout layout = LayoutOf(image);
    const DWORD table = GetDword(image, layout.SecurityEntryOffset());
    const DWORD length = GetDword(image, table);
    return Bytes(image.begin() + table + 8, image.begin() + table + length);
}

// The signed fixture with its signature's message replaced (padded to 8 bytes, headers fixed).
Bytes WithMessage(const Bytes& image, const Bytes& message) {
    const CPeLayout layout = LayoutOf(image);
    const DWORD table = GetDword(image, layout.SecurityEntryOffset());
    Bytes out(image.begin(), image.begin() + table + 8);
    Append(out, message.data(), message.size());
    out.resize((out.size() + 7) & ~size_t(7), 0);
    PutDword(out, table, static_cast<DWORD>(out.size() - table));
    PutDword(out, layout.SecurityEntryOffset() + 4, static_cast<DWORD>(out.size() - table));
    return out;
}

// Where our attribute's identifier (2.25.<UUID>, first content byte 0x69) ends in a message.
size_t OidEnd(const Bytes& message, size_t from = 0) {
    const unsigned char head[] = {0x06, 0x13, 0x69};
    auto at = std::search(message.begin() + from, message.end(), head, head + 3);
    return at == message.end() ? 0 : static_cast<size_t>(at - message.begin()) + 21;
}

Bytes Written(const Bytes& message, const Bytes& value) {
    Bytes out;
    EXPECT_TRUE(TARN::CSignerAttribute::Write(message.data(), static_cast<DWORD>(message.size()), value.data(),
                                              static_cast<DWORD>(value.size()), out));
    return out;
}

size_t ErrorLines(const CCaptureProcessTrace& trace) {
    size_t n = 0;
    for (const std::wstring& line : trace.capture.lines) n += line.find(L"TARN::C") != std::wstring::npos;
    return n;
}

}  // namespace

TEST(SignedFileData, SettingsMoveIntoTheSignatureAndOutAgainLeavingItsBytes) {
    Bytes signedImage;
    ASSERT_TRUE(ReadFileBytes(FixturePath(L"in\\signed.exe"), signedImage)) << "run through ctest: it signs first";
    const CPeLayout layout = LayoutOf(signedImage);
    const DWORD table = GetDword(signedImage, layout.SecurityEntryOffset());
    CTempFolder temp;
    const std::wstring path = temp.Join(L"signed.exe");
    ASSERT_TRUE(WriteFileBytes(path, signedImage.data(), signedImage.size()));
    {
        CFileDataExtender ext;
        ASSERT_TRUE(ext.Initialize(path.c_str(), true));
        ext.SetPlacement(CFileDataExtender::ePlacement_Signature);
        ASSERT_TRUE(ext.SetData(1, L"{0D5A1B3C-7E9F-4A2B-8C6D-E0F1A2B3C4D5}"));
        ASSERT_TRUE(ext.Save());
        EXPECT_EQ(ext.GetStreamPos(), CFileDataExtender::kNoStream);
    }
    Bytes inSignature;
    ASSERT_TRUE(ReadFileBytes(path, inSignature));
    // The certificate table is the signature alone, 8-aligned, and the checksum holds.
    const DWORD signatureLength = GetDword(inSignature, table);
    EXPECT_EQ(signatureLength % 8, 0u);
    EXPECT_EQ(inSignature.size(), table + signatureLength);
    EXPECT_EQ(GetDword(inSignature, layout.SecurityEntryOffset() + 4), signatureLength);
    EXPECT_TRUE(ChecksumIsValid(path));
    ASSERT_TRUE(::CopyFileW(path.c_str(), FixturePath(L"out\\in-signature.exe").c_str(), FALSE));
    {
        CFileDataExtender reader;
        ASSERT_TRUE(reader.Initialize(path.c_str(), false));
        EXPECT_EQ(reader.GetPlacement(), CFileDataExtender::ePlacement_Signature);
        EXPECT_EQ(reader.GetVersion(), 1u);
        std::wstring silo;
        EXPECT_TRUE(reader.GetData(1, &silo));
        EXPECT_EQ(silo, L"{0D5A1B3C-7E9F-4A2B-8C6D-E0F1A2B3C4D5}");
    }
    {
        // Back behind the signature: the attribute goes, the signature is as signed again.
        CFileDataExtender ext;
        ASSERT_TRUE(ext.Initialize(path.c_str(), true));
        ext.SetPlacement(CFileDataExtender::ePlacement_Table);
        ASSERT_TRUE(ext.Save());
        EXPECT_FALSE(ext.HasSignatureBlock());
    }
    Bytes behind;
    ASSERT_TRUE(ReadFileBytes(path, behind));
    const std::initializer_list<std::pair<size_t, size_t>> patched = {{layout.ChecksumOffset(), 4},
                                                                       {layout.SecurityEntryOffset() + 4, 4}};
    EXPECT_TRUE(Masked(behind, signedImage.size(), patched) == Masked(signedImage, signedImage.size(), patched));
    CFileDataExtender reader;
    ASSERT_TRUE(reader.Initialize(path.c_str(), false));
    EXPECT_EQ(reader.GetPlacement(), CFileDataExtender::ePlacement_Table);
    EXPECT_TRUE(reader.DataExists(1));
}

// Why the attribute is read and written by our own bounded code rather than by crypt32.
TEST(SignedFileData, SystemCrypt32CanNeitherNameNorAddTheAttributeUnderWine) {
    Bytes signedImage;
    ASSERT_TRUE(ReadFileBytes(FixturePath(L"in\\signed.exe"), signedImage));
    const Bytes message = SignatureMessage(signedImage);
    const Bytes ours = Written(message, Bytes{0x2A});
    std::vector<BYTE> read;
    EXPECT_EQ(TARN::CSignerAttribute::Read(ours.data(), static_cast<DWORD>(ours.size()), read), S_OK);
    EXPECT_TRUE(read == Bytes{0x2A});

    // Reading: the system's decoder names the attribute's identifier.
    HCRYPTMSG msg = ::CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(msg && ::CryptMsgUpdate(msg, ours.data(), static_cast<DWORD>(ours.size()), TRUE));
    DWORD size = 0;
    ASSERT_TRUE(::CryptMsgGetParam(msg, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, nullptr, &size));
    std::vector<void*> buffer(size / sizeof(void*) + 1);
    ASSERT_TRUE(::CryptMsgGetParam(msg, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, buffer.data(), &size));
    const CRYPT_ATTRIBUTES* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buffer.data());
    ASSERT_EQ(attributes->cAttr, 1u);
    const std::string name = attributes->rgAttr[0].pszObjId;
    ::CryptMsgClose(msg);
    if (name != TARN::CSignerAttribute::kOid) {
        EXPECT_EQ(name, "2.25.558072510");   // Wine 8: the arc's low 32 bits
    }

    // Writing: the system adds an unauthenticated attribute to a decoded message.
    msg = ::CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(msg && ::CryptMsgUpdate(msg, message.data(), static_cast<DWORD>(message.size()), TRUE));
    BYTE value[] = {0x04, 0x01, 0x2A};
    CRYPT_DATA_BLOB blob = {sizeof value, value};
    CRYPT_ATTRIBUTE attribute = {const_cast<char*>(TARN::CSignerAttribute::kOid), 1, &blob};
    BYTE encoded[64];
    DWORD encodedSize = sizeof encoded;
    ASSERT_TRUE(::CryptEncodeObject(X509_ASN_ENCODING, PKCS_ATTRIBUTE, &attribute, encoded, &encodedSize));
    CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA add = {sizeof add, 0, {encodedSize, encoded}};
    const BOOL added = ::CryptMsgControl(msg, 0, CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR, &add);
    const DWORD error = ::GetLastError();
    Bytes systems;
    if (added && ::CryptMsgGetParam(msg, CMSG_ENCODED_MESSAGE, 0, nullptr, &size)) {
        systems.resize(size);
        ::CryptMsgGetParam(msg, CMSG_ENCODED_MESSAGE, 0, systems.data(), &size);
    }
    ::CryptMsgClose(msg);
    if (added) {
        EXPECT_TRUE(systems == ours);   // where the system can, it encodes what ours does
    } else {
        EXPECT_EQ(error, static_cast<DWORD>(CRYPT_E_CONTROL_TYPE)) << std::hex << error;   // Wine 8
    }
}

TEST(SignedFileData, HostileAttributesFailWithOneLineAndTheRunWithTheSettingsCode) {
    Bytes signedImage;
    ASSERT_TRUE(ReadFileBytes(FixturePath(L"in\\signed.exe"), signedImage));
    const Bytes message = SignatureMessage(signedImage);
    // A sound block to start from.
    CTempFolder temp;
    const std::wstring good = temp.Join(L"good.exe");
    ASSERT_TRUE(WriteFileBytes(good, signedImage.data(), signedImage.size()));
    {
        CFileDataExtender ext;
        ASSERT_TRUE(ext.Initialize(good.c_str(), true));
        ext.SetPlacement(CFileDataExtender::ePlacement_Signature);
        ASSERT_TRUE(ext.SetData(0, L"PRODUCT") && ext.Save());
    }
    Bytes goodImage;
    ASSERT_TRUE(ReadFileBytes(good, goodImage));
    Bytes block;
    ASSERT_EQ(TARN::CSignerAttribute::Read(SignatureMessage(goodImage).data(),
                                           static_cast<DWORD>(SignatureMessage(goodImage).size()), block), S_OK);
    ASSERT_GE(block.size(), 32u);

    Bytes oversized = block;
    PutDword(oversized, 16, 0x7FFFFFF0);   // S far beyond the attribute
    const Bytes truncated(block.begin(), block.begin() + 12);
    Bytes nested = Written(message, block);
    nested[OidEnd(nested) + 2 + (nested[OidEnd(nested) + 1] & 0x80 ? nested[OidEnd(nested) + 1] & 0x7F : 0)] = 0x24;
    // Two attributes of ours: the first is hidden from the encoder while the second is added.
    Bytes duplicated = Written(message, block);
    duplicated[OidEnd(duplicated) - 1] ^= 1;
    duplicated = Written(duplicated, block);
    duplicated[OidEnd(duplicated) - 1] ^= 1;
    ASSERT_NE(OidEnd(duplicated, OidEnd(duplicated)), 0u);

    const struct {
        const char* name;
        Bytes message;
    } cases[] = {{"oversized", Written(message, oversized)}, {"truncated", Written(message, truncated)},
                 {"nested", nested}, {"duplicated", duplicated}};
    CTestInstaller product;   // the runs' silo, for their logs; no failure ping leaves the machine
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image = WithMessage(signedImage, c.message);
        const std::wstring path = temp.Join(std::wstring(c.name, c.name + strlen(c.name)) + L".exe");
        ASSERT_TRUE(WriteFileBytes(path, image.data(), image.size()));
        {
            CFileDataExtender ext;
            CCaptureProcessTrace trace;
            EXPECT_FALSE(ext.Initialize(path.c_str(), true));
            EXPECT_EQ(ErrorLines(trace), 1u) << testing::PrintToString(trace.capture.lines);
            EXPECT_FALSE(ext.Save());
        }
        Bytes after;
        ASSERT_TRUE(ReadFileBytes(path, after));
        EXPECT_TRUE(after == image);
        // The stub itself ends with the code for unreadable settings.
        DWORD code = 0;
        ASSERT_TRUE(RunProgram(path, L"/qn /PRODID " + product.silo, 60000, code));
        EXPECT_EQ(code, 0x80047D71u) << std::hex << code;
    }

    // Reader and encoder walk nothing outside the message: every truncation and every byte
    // turned into a long length either fails cleanly or still finds the attribute.
    const Bytes carrying = Written(message, block);
    for (size_t at = 0; at < carrying.size(); at += (at < 64 ? 1 : 7)) {
        Bytes cut(carrying.begin(), carrying.begin() + at), mangled = carrying;
        mangled[at] = 0x84;
        std::vector<BYTE> out;
        EXPECT_NE(TARN::CSignerAttribute::Read(cut.data(), static_cast<DWORD>(cut.size()), out), S_OK) << at;
        EXPECT_FALSE(TARN::CSignerAttribute::Write(cut.data(), static_cast<DWORD>(cut.size()), block.data(),
                                                   static_cast<DWORD>(block.size()), out));
        if (TARN::CSignerAttribute::Read(mangled.data(), static_cast<DWORD>(mangled.size()), out) == S_OK) {
            EXPECT_LE(out.size(), block.size()) << at;
        }
        if (TARN::CSignerAttribute::Write(mangled.data(), static_cast<DWORD>(mangled.size()), block.data(),
                                          static_cast<DWORD>(block.size()), out)) {
            EXPECT_NE(OidEnd(out), 0u) << at;
        }
    }
}
