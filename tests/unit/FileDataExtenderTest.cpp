// The embedded data block: its hash, its layout in unsigned and signed files, older and newer
// versions, hostile lengths, and the collection operations around it.
#include <gtest/gtest.h>

#include <windows.h>
#include <imagehlp.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "BuildPaths.h"
#include "package/Archive.h"
#include "package/BlockHash.h"
#include "runtime/Crc32.h"
#include "package/FileDataExtender.h"
#include "package/KeyValueCollectionImpl.h"
#include "support/PeBytes.h"
#include "support/TestSupport.h"

using namespace testing_support;
using qlLib::CComPtr;
using qlLib::IKeyValueCollection;
using TARN::CFileDataExtender;

namespace {

const DWORD kNoStream = CFileDataExtender::kNoStream;

Bytes Serialized(IKeyValueCollection* collection) {
    CComPtr<qlLib::ISerialize> serialize;
    collection->QueryInterface(qlLib::IID_ISerialize, reinterpret_cast<void**>(serialize.Receive()));
    qlLib::CArchive archive(qlLib::CArchive::eStore);
    if (!serialize || !serialize->SaveToArchive(&archive)) return {};
    return Bytes(archive.Buffer().begin(), archive.Buffer().end());
}

Bytes FileBytes(const std::wstring& path) {
    Bytes bytes;
    ReadFileBytes(path, bytes);
    return bytes;
}

Bytes StubBytes() { return FileBytes(ToWinePath(MINISTUB_EXE_UNIX_PATH)); }

bool ChecksumIsValid(const std::wstring& path) {
    DWORD headerSum = 0, checksum = 0;
    return ::MapFileAndCheckSumW(path.c_str(), &headerSum, &checksum) == CHECKSUM_SUCCESS && headerSum == checksum &&
           checksum != 0;
}

DWORD SecurityOffset(const Bytes& image) { return GetDword(image, LayoutOf(image).SecurityEntryOffset()); }
DWORD SecuritySize(const Bytes& image) { return GetDword(image, LayoutOf(image).SecurityEntryOffset() + 4); }

// The stub with a certificate table (8-aligned) of the given records, tableSize bytes according
// to its security directory (0: the records' size), and anything after it.
Bytes StubWithTable(const Bytes& records, DWORD tableSize = 0, const Bytes& after = {}) {
    Bytes image = StubBytes();
    image.resize((image.size() + 7) & ~size_t(7), 0);
    const CPeLayout layout = LayoutOf(image);
    PutDword(image, layout.SecurityEntryOffset(), static_cast<DWORD>(image.size()));
    PutDword(image, layout.SecurityEntryOffset() + 4, tableSize ? tableSize : static_cast<DWORD>(records.size()));
    Append(image, records.data(), records.size());
    Append(image, after.data(), after.size());
    return image;
}

// A block as it is stored, the record length rounded up to 16 unless given.
Bytes MakeBlock(DWORD version, const Bytes& payload, DWORD hash = 0, DWORD length = 0) {
    Bytes block;
    const DWORD real = (version == 0 ? 8 : 20) + static_cast<DWORD>(payload.size());
    AppendDword(block, length ? length : (real + 15) & ~15u);
    Append(block, version == 0 ? "pApb" : "bpAP", 4);
    if (version != 0) {
        AppendDword(block, version);
        AppendDword(block, hash);
        AppendDword(block, real);
    }
    Append(block, payload.data(), payload.size());
    block.resize((real + 15) & ~15u, 0);
    return block;
}

// A stand-in for an Authenticode signature: a WIN_CERTIFICATE header and filler.
Bytes MakeSignature(DWORD length) {
    Bytes signature;
    AppendDword(signature, length);
    AppendDword(signature, 0x00020200);   // revision 2.0, PKCS#7
    for (DWORD i = 8; i < length; ++i) signature.push_back(static_cast<unsigned char>(i * 7));
    return signature;
}

Bytes operator+(Bytes a, const Bytes& b) {
    Append(a, b.data(), b.size());
    return a;
}

CComPtr<IKeyValueCollection> SampleCollection() {
    CComPtr<IKeyValueCollection> c = qlLib::CKeyValueCollectionImpl::New();
    c->SetWString(1, L"{6F1C0A52-2B1E-4C52-9A7B-1D2E3F405162}");
    c->SetDword(2, 0x00090001);
    c->SetBool(7, true);
    return c;
}

std::wstring Write(const CTempFolder& temp, const wchar_t* name, const Bytes& image) {
    const std::wstring path = temp.Join(name);
    return WriteFileBytes(path, image.data(), image.size()) ? path : std::wstring();
}

}  // namespace

TEST(BlockHash, CrcAndTheTwoExtraStepsOfTheEmptyCollection) {
    EXPECT_EQ(qlLib::Crc32("123456789", 9), 0xCBF43926u);   // the CRC-32 check value
    const Bytes bytes = Serialized(qlLib::CKeyValueCollectionImpl::New().Get());
    ASSERT_EQ(bytes.size(), 19u);
    EXPECT_EQ(qlLib::Crc32(bytes.data(), bytes.size()), 0x10D58136u);
    EXPECT_EQ(TARN::ComputeBlockHash(bytes.data(), bytes.size()), 0xBA874E65u);
}

TEST(FileDataExtender, UnsignedFileCarriesTheBlockAtItsEndUntilRemoved) {
    CTempFolder temp;
    const Bytes original = StubBytes();
    ASSERT_FALSE(original.empty());
    const DWORD end = static_cast<DWORD>(original.size());
    const std::wstring path = Write(temp, L"unsigned.exe", original);
    {
        CFileDataExtender ext;
        CCaptureProcessTrace trace;
        ASSERT_TRUE(ext.Initialize(path.c_str(), true));
        EXPECT_TRUE(trace.Contains(L"file is not signed: " + path));
        EXPECT_FALSE(ext.IsSigned());
        EXPECT_EQ(ext.GetStreamPos(), kNoStream);

        // The empty collection: n = 19, S = 39, L = 48, 9 bytes of padding.
        ASSERT_TRUE(ext.Save());
        const Bytes saved = FileBytes(path);
        ASSERT_EQ(saved.size(), original.size() + 48);
        EXPECT_EQ(GetDword(saved, end), 48u);
        EXPECT_EQ(std::memcmp(saved.data() + end + 4, "bpAP", 4), 0);
        EXPECT_EQ(GetDword(saved, end + 8), 1u);
        EXPECT_EQ(GetDword(saved, end + 12), 0xBA874E65u);
        EXPECT_EQ(GetDword(saved, end + 16), 39u);
        EXPECT_EQ(Bytes(saved.begin() + end + 39, saved.end()), Bytes(9, 0));
        EXPECT_EQ(SecurityOffset(saved), end);
        EXPECT_EQ(SecuritySize(saved), 48u);
        EXPECT_TRUE(ChecksumIsValid(path));

        // A second save replaces the block in the same place.
        ASSERT_TRUE(ext.Import(SampleCollection().Get()));
        ASSERT_TRUE(ext.Save());
        EXPECT_EQ(ext.GetStreamPos(), end);
        const Bytes resaved = FileBytes(path);
        EXPECT_EQ(resaved.size(), end + GetDword(resaved, end));
        EXPECT_EQ(SecuritySize(resaved), GetDword(resaved, end));
    }
    {
        CFileDataExtender reader;
        ASSERT_TRUE(reader.Initialize(path.c_str(), false));
        EXPECT_EQ(reader.GetVersion(), 1u);
        const Bytes payload = Serialized(SampleCollection().Get());
        EXPECT_EQ(reader.GetStoredHash(), TARN::ComputeBlockHash(payload.data(), payload.size()));
        EXPECT_EQ(reader.GetStoredSize(), 20u + payload.size());
        std::wstring text;
        DWORD number = 0;
        bool flag = false;
        EXPECT_TRUE(reader.GetData(1, &text) && reader.GetData(2, &number) && reader.GetData(7, &flag));
        EXPECT_EQ(text, L"{6F1C0A52-2B1E-4C52-9A7B-1D2E3F405162}");
        EXPECT_EQ(number, 0x00090001u);
        EXPECT_TRUE(flag);
    }
    {
        CFileDataExtender ext;
        ASSERT_TRUE(ext.Initialize(path.c_str(), true));
        ASSERT_TRUE(ext.RemoveStreamFromModule());
        const Bytes removed = FileBytes(path);
        const size_t checksum = LayoutOf(removed).ChecksumOffset();
        EXPECT_TRUE(Masked(removed, removed.size(), {{checksum, 4}}) == Masked(original, original.size(), {{checksum, 4}}));
        EXPECT_EQ(SecurityOffset(removed), 0u);
        EXPECT_EQ(SecuritySize(removed), 0u);
        EXPECT_TRUE(ChecksumIsValid(path));

        // Nothing left to remove; a new block goes where the old one was.
        EXPECT_TRUE(ext.RemoveStreamFromModule());
        ASSERT_TRUE(ext.Save());
        EXPECT_EQ(SecurityOffset(FileBytes(path)), end);
    }
}

TEST(FileDataExtender, SignedFileKeepsItsSignatureAndChainsTheBlockBehindIt) {
    // A collection that serialises to n = 0x25E bytes: S = 0x272, L = 0x280.
    CComPtr<IKeyValueCollection> collection = SampleCollection();
    for (size_t k = 0; k < 0x300 && Serialized(collection.Get()).size() != 0x25E; ++k)
        collection->SetString(9, std::string(k, 'q').c_str());
    const Bytes payload = Serialized(collection.Get());
    ASSERT_EQ(payload.size(), 0x25Eu);
    const Bytes block = MakeBlock(1, payload, TARN::ComputeBlockHash(payload.data(), payload.size()));
    ASSERT_EQ(block.size(), 0x280u);
    const Bytes signature = MakeSignature(0x1E80);
    CTempFolder temp;
    const std::wstring path = Write(temp, L"signed.exe", StubWithTable(signature + block));
    const DWORD table = SecurityOffset(FileBytes(path));

    CFileDataExtender ext;
    ASSERT_TRUE(ext.Initialize(path.c_str(), true));
    EXPECT_TRUE(ext.IsSigned());
    EXPECT_EQ(ext.GetSignatureLength(), 0x1E80u);
    EXPECT_EQ(ext.GetStreamPos(), table + 0x1E80);
    EXPECT_EQ(ext.GetVersion(), 1u);
    EXPECT_EQ(ext.GetStoredSize(), 0x272u);
    EXPECT_TRUE(ext.DataExists(9));

    // A smaller collection shrinks the record and the table with it.
    ASSERT_TRUE(ext.RemoveData(9));
    ASSERT_TRUE(ext.Save());
    const Bytes saved = FileBytes(path);
    const DWORD length = GetDword(saved, table + 0x1E80);
    EXPECT_LT(length, 0x280u);
    EXPECT_EQ(saved.size(), table + 0x1E80 + length);
    EXPECT_EQ(SecurityOffset(saved), table);
    EXPECT_EQ(SecuritySize(saved), 0x1E80 + length);
    EXPECT_EQ(Bytes(saved.begin() + table, saved.begin() + table + 0x1E80), signature);
    EXPECT_TRUE(ChecksumIsValid(path));

    // Without the block the table is the signature alone.
    ASSERT_TRUE(ext.RemoveStreamFromModule());
    EXPECT_EQ(FileBytes(path).size(), table + 0x1E80u);
    EXPECT_EQ(SecuritySize(FileBytes(path)), 0x1E80u);
}

TEST(FileDataExtender, OlderVersionIsRewrittenInItsFormNewerOneIsLeftAlone) {
    CTempFolder temp;
    const Bytes payload = Serialized(SampleCollection().Get());
    const std::wstring v0 = Write(temp, L"v0.exe", StubWithTable(MakeBlock(0, payload)));
    const DWORD position = SecurityOffset(FileBytes(v0));
    {
        CFileDataExtender ext;
        ASSERT_TRUE(ext.Initialize(v0.c_str(), true));
        EXPECT_FALSE(ext.IsSigned());
        EXPECT_EQ(ext.GetVersion(), 0u);
        EXPECT_EQ(ext.GetStreamPos(), position);
        ASSERT_TRUE(ext.SetData(2, DWORD(0x000A0000)));
        ASSERT_TRUE(ext.Save());
    }
    const Bytes saved = FileBytes(v0);
    EXPECT_EQ(std::memcmp(saved.data() + position + 4, "pApb", 4), 0);
    EXPECT_EQ(GetDword(saved, position), (static_cast<DWORD>(payload.size()) + 8 + 15) & ~15u);
    EXPECT_EQ(saved.size(), position + GetDword(saved, position));
    CFileDataExtender reader;
    DWORD number = 0;
    ASSERT_TRUE(reader.Initialize(v0.c_str(), false));
    EXPECT_TRUE(reader.GetData(2, &number));
    EXPECT_EQ(number, 0x000A0000u);

    // The stored hash is kept, not checked.
    const std::wstring badHash = Write(temp, L"hash.exe", StubWithTable(MakeBlock(1, payload, 0xDEADBEEF)));
    CFileDataExtender hashReader;
    ASSERT_TRUE(hashReader.Initialize(badHash.c_str(), false));
    EXPECT_EQ(hashReader.GetStoredHash(), 0xDEADBEEFu);
    EXPECT_TRUE(hashReader.DataExists(2));

    const Bytes v2Image = StubWithTable(MakeBlock(2, payload));
    const std::wstring v2 = Write(temp, L"v2.exe", v2Image);
    CFileDataExtender ext;
    CCaptureProcessTrace trace;
    EXPECT_FALSE(ext.Initialize(v2.c_str(), true));
    EXPECT_TRUE(trace.Contains(L"unknown version: 2"));
    EXPECT_FALSE(ext.Save());
    EXPECT_TRUE(trace.Contains(L"existing data is a higher version (2), do not overwrite"));
    EXPECT_EQ(FileBytes(v2), v2Image);
}

TEST(FileDataExtender, HostileTablesAreRefusedWithoutTouchingTheFile) {
    Bytes zeroLength = MakeSignature(0x100);
    PutDword(zeroLength, 0, 0);
    Bytes tooLong = MakeSignature(0x100);
    PutDword(tooLong, 0, 0x7FFFFFF0);
    const Bytes junk(0x40, 0xA5);
    const Bytes block = MakeBlock(1, Serialized(SampleCollection().Get()));
    struct {
        const char* name;
        Bytes image;
        bool initializes;
        const wchar_t* message;
    } cases[] = {
        // A block behind these signatures would overwrite the signature or land far past the end.
        {"signature length 0", StubWithTable(zeroLength), false, L"invalid signature size: 0"},
        {"signature longer than the table", StubWithTable(tooLong), false, L"invalid signature size: 2147483632"},
        {"table past the end", StubWithTable(MakeSignature(0x100), 0x200), false, L"failed to read PE headers"},
        // Data behind the table would be overwritten by a block, or cut off with one.
        {"data behind the signature", StubWithTable(MakeSignature(0x100), 0, junk), true, L"data follows the signature"},
        {"data behind the block", StubWithTable(block, 0, junk), true, L"data follows the block"},
    };
    CTempFolder temp;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = Write(temp, L"hostile.exe", c.image);
        CFileDataExtender ext;
        CCaptureProcessTrace trace;
        EXPECT_EQ(ext.Initialize(path.c_str(), true), c.initializes);
        ASSERT_TRUE(ext.SetData(1, L"x"));
        EXPECT_FALSE(ext.Save());
        if (!c.initializes) {
            EXPECT_FALSE(ext.RemoveStreamFromModule());
            EXPECT_FALSE(ext.UpdatePEHeader());
        }
        EXPECT_TRUE(trace.Contains(c.message));
        EXPECT_EQ(FileBytes(path), c.image);
    }

    // A record length reaching past the end still loads (loading does not use it), but the
    // security directory is never pointed past the end; a save replaces the record.
    const Bytes image = StubWithTable(MakeBlock(1, Serialized(SampleCollection().Get()), 0, 0x10000000));
    const std::wstring path = Write(temp, L"long-record.exe", image);
    CFileDataExtender ext;
    ASSERT_TRUE(ext.Initialize(path.c_str(), true));
    EXPECT_TRUE(ext.DataExists(1));
    {
        CCaptureProcessTrace trace;
        EXPECT_FALSE(ext.UpdatePEHeader());
        EXPECT_TRUE(trace.Contains(L"does not fit in the file"));
        EXPECT_EQ(FileBytes(path), image);
    }
    ASSERT_TRUE(ext.Save());
    const Bytes saved = FileBytes(path);
    EXPECT_EQ(saved.size(), SecurityOffset(saved) + SecuritySize(saved));

    // A signature length without its alignment padding: the zeros may be overwritten.
    Bytes unpadded = MakeSignature(0x100);
    PutDword(unpadded, 0, 0xFC);
    std::fill(unpadded.begin() + 0xFC, unpadded.end(), 0);
    const std::wstring padded = Write(temp, L"unpadded.exe", StubWithTable(unpadded));
    CFileDataExtender padExt;
    ASSERT_TRUE(padExt.Initialize(padded.c_str(), true));
    ASSERT_TRUE(padExt.Save());
    const Bytes padSaved = FileBytes(padded);
    EXPECT_EQ(padSaved.size(), SecurityOffset(padSaved) + SecuritySize(padSaved));
    EXPECT_EQ(SecuritySize(padSaved), 0xFC + GetDword(padSaved, SecurityOffset(padSaved) + 0xFC));
}

TEST(FileDataExtender, ReadOnlyInitializeLetsGoOfTheFileAndRefusesWrites) {
    CTempFolder temp;
    const Bytes stub = StubBytes();
    const std::wstring path = Write(temp, L"ro.exe", stub);
    CFileDataExtender ext;
    ASSERT_TRUE(ext.Initialize(path.c_str(), false));
    EXPECT_TRUE(qlLib::CFileHandle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                 OPEN_EXISTING, 0, nullptr)));
    CCaptureProcessTrace trace;
    EXPECT_TRUE(ext.SetData(1, true));
    EXPECT_FALSE(ext.Save());
    EXPECT_FALSE(ext.RemoveStreamFromModule());
    EXPECT_FALSE(ext.UpdatePEHeader());
    EXPECT_EQ(ext.GetStreamPos(), kNoStream);
    for (const wchar_t* message : {L"must Initialize writable before saving", L"must Initialize writable before removing stream",
                                   L"must Initialize writable before updating PE header", L"GetStreamPos(184) : must Initialize"})
        EXPECT_TRUE(trace.Contains(message)) << message;
    EXPECT_EQ(FileBytes(path), stub);
}

TEST(FileDataExtender, CollectionTravelsThroughExportImportAndCopies) {
    CTempFolder temp;
    CFileDataExtender ext;
    {
        CCaptureProcessTrace trace;
        EXPECT_FALSE(ext.SetData(1, true));
        EXPECT_FALSE(ext.Export(temp.Join(L"none.kvc").c_str()));
        EXPECT_TRUE(trace.Contains(L"invalid pointer... need to initialize..."));
        EXPECT_FALSE(ext.GetCollection(nullptr));
        EXPECT_TRUE(trace.Contains(L"invalid parameter - must pass a valid kvc"));
    }
    ASSERT_TRUE(ext.Import(SampleCollection().Get()));
    const std::wstring exported = temp.Join(L"settings.kvc");
    ASSERT_TRUE(ext.Export(exported.c_str()));
    EXPECT_EQ(FileBytes(exported), Serialized(SampleCollection().Get()));   // no block header

    CFileDataExtender other;
    ASSERT_TRUE(other.Import(exported.c_str()));
    EXPECT_TRUE(other.DataExists(1));
    EXPECT_FALSE(other.Import(temp.Join(L"missing.kvc").c_str()));
    ASSERT_TRUE(WriteTextFile(temp.Join(L"junk.kvc"), "not a collection"));
    EXPECT_FALSE(other.Import(temp.Join(L"junk.kvc").c_str()));
    EXPECT_TRUE(other.DataExists(1));   // a failed import leaves the old contents

    // Copies replace the target's contents and are deep.
    CComPtr<IKeyValueCollection> copy = qlLib::CKeyValueCollectionImpl::New();
    copy->SetDword(99, 1);
    ASSERT_TRUE(other.GetCollection(copy.Get()));
    EXPECT_EQ(Serialized(copy.Get()), Serialized(SampleCollection().Get()));
    ASSERT_TRUE(other.RemoveData(1));
    EXPECT_TRUE(copy->Exists(1));
}
