#include <gtest/gtest.h>

#include <random>

#include "package/7zArchive.h"
#include "support/TestSupport.h"
#include "tools/ministub-build/ArchiveWriter.h"
#include "tools/ministub-build/PackEntries.h"

using builder::CArchiveItem;
using builder::CArchiveStats;
using builder::CArchiveWriter;

namespace {

// x86-like bytes: many E8/E9/0F 8x opcodes with near and far targets, so that the branch
// converter has calls and jumps to move into its side streams, across its buffer edges.
std::vector<unsigned char> CodeLikeBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        const unsigned r = random() % 16;
        bytes[i] = r == 0 ? 0xE8 : r == 1 ? 0xE9 : r == 2 ? 0x0F : r == 3 ? 0x85 : static_cast<unsigned char>(random() % 8);
    }
    return bytes;
}

bool ReadBack(const std::wstring& archive, const std::wstring& folder, UINT32& count) {
    TARN::C7zArchive* reader = nullptr;
    HRESULT hr = TARN::C7zArchive::Initialize(&reader);
    if (SUCCEEDED(hr)) hr = reader->Open(archive.c_str());
    if (SUCCEEDED(hr)) hr = reader->GetItemCount(&count);
    if (SUCCEEDED(hr)) hr = reader->ExtractArchive(folder.c_str());
    if (reader) reader->Release();
    return SUCCEEDED(hr);
}

}  // namespace

// What the stub's reader unpacks is byte for byte what went in: executables through BCJ2
// (larger than every buffer of the converter), other files through LZMA, empty files and
// folders as items without data; with one thread and with the second match-finder thread.
TEST(ArchiveWriter, StubReaderUnpacksEveryByteOfBothBlocks) {
    testing_support::CTempFolder temp;
    const std::wstring source = temp.Join(L"src");
    ASSERT_TRUE(::CreateDirectoryW(source.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((source + L"\\bin").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((source + L"\\empty dir").c_str(), nullptr));
    const std::vector<std::pair<std::wstring, std::vector<unsigned char>>> files = {
        {L"bin\\big.dll", CodeLikeBytes(3 * 1024 * 1024 + 7, 1)},
        {L"bin\\small.EXE", CodeLikeBytes(5, 2)},
        {L"bin\\zero.sys", {}},
        {L"data.bin", CodeLikeBytes(200000, 3)},
        {L"\u00e9t\u00e9.txt", {'h', 'i'}},
    };
    for (const auto& file : files) {
        ASSERT_TRUE(testing_support::WriteFileBytes(source + L"\\" + file.first, file.second.data(), file.second.size()));
    }
    std::vector<CArchiveItem> items;
    std::string error;
    ASSERT_TRUE(builder::ListArchiveItems(source, items, error)) << error;
    ASSERT_EQ(items.size(), files.size() + 2);

    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        const std::wstring archive = temp.Join(L"out" + std::to_wstring(threads) + L".7z");
        const std::wstring out = temp.Join(L"x" + std::to_wstring(threads));
        CArchiveWriter writer;
        writer.SetThreads(threads);
        CArchiveStats stats;
        ASSERT_TRUE(writer.Write(items, archive, stats, error)) << error;
        EXPECT_EQ(stats.files, files.size());
        EXPECT_EQ(stats.folders, 2u);
        EXPECT_EQ(stats.executables, 2u);   // the empty one has no data to convert
        EXPECT_LT(stats.archiveBytes, stats.sourceBytes);
        UINT32 count = 0;
        ASSERT_TRUE(ReadBack(archive, out, count));
        EXPECT_EQ(count, items.size());
        for (const auto& file : files) {
            std::vector<unsigned char> back;
            ASSERT_TRUE(testing_support::ReadFileBytes(out + L"\\" + file.first, back)) << file.first.c_str();
            EXPECT_TRUE(back == file.second) << file.first.c_str();
        }
        EXPECT_NE(::GetFileAttributesW((out + L"\\empty dir").c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

// A file that is not the size it was listed with fails the archive rather than storing a
// wrong size or CRC; so does a listed file that has gone.
TEST(ArchiveWriter, FilesThatChangeAfterListingFailTheArchive) {
    testing_support::CTempFolder temp;
    const std::wstring file = temp.Join(L"a.dll");
    ASSERT_TRUE(testing_support::WriteTextFile(file, "0123456789"));
    for (ULONGLONG listed : {9ULL, 11ULL}) {
        CArchiveItem item;
        item.source = file;
        item.name = L"a.dll";
        item.size = listed;
        CArchiveStats stats;
        std::string error;
        EXPECT_FALSE(CArchiveWriter().Write({item}, temp.Join(L"a.7z"), stats, error));
        EXPECT_NE(error.find("changed while it was compressed"), std::string::npos) << error;
    }
    CArchiveItem gone;
    gone.source = temp.Join(L"gone.txt");
    gone.name = L"gone.txt";
    gone.size = 1;
    CArchiveStats stats;
    std::string error;
    EXPECT_FALSE(CArchiveWriter().Write({gone}, temp.Join(L"b.7z"), stats, error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

namespace {

// Where the archive's start header says its header is, and the header's first byte.
bool HeaderKind(const std::wstring& archive, BYTE& kind) {
    std::vector<unsigned char> bytes;
    if (!testing_support::ReadFileBytes(archive, bytes) || bytes.size() < 32) return false;
    ULONGLONG offset = 0;
    memcpy(&offset, bytes.data() + 12, sizeof offset);
    if (offset >= bytes.size() - 32) return false;
    kind = bytes[32 + offset];
    return true;
}

ULONGLONG WriteArchive(const std::vector<CArchiveItem>& items, const std::wstring& archive) {
    CArchiveStats stats;
    std::string error;
    EXPECT_TRUE(CArchiveWriter().Write(items, archive, stats, error)) << error;
    return stats.archiveBytes;
}

}  // namespace

// The layout 7-Zip's tool gives the same files: the header stored compressed, the branch
// converter run over each file on its own, so that a second copy of a program costs next to
// nothing (converted over the whole block, its calls would point elsewhere than the first's),
// and the files of a block side by side with their kind.
TEST(ArchiveWriter, LayoutIsThatOf7ZipsTool) {
    testing_support::CTempFolder temp;
    const std::wstring source = temp.Join(L"src");
    ASSERT_TRUE(::CreateDirectoryW(source.c_str(), nullptr));
    const std::vector<unsigned char> code = CodeLikeBytes(300000, 4);
    for (const wchar_t* name : {L"a.dll", L"b.dll"}) {
        ASSERT_TRUE(testing_support::WriteFileBytes(source + L"\\" + name, code.data(), code.size()));
    }
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(testing_support::WriteTextFile(source + L"\\notes" + std::to_wstring(i) + L".txt", "a note\r\n"));
    }
    ASSERT_TRUE(testing_support::WriteTextFile(source + L"\\setup.ini", "[setup]\r\n"));
    std::vector<CArchiveItem> items;
    std::string error;
    ASSERT_TRUE(builder::ListArchiveItems(source, items, error)) << error;

    const std::wstring archive = temp.Join(L"all.7z");
    const ULONGLONG both = WriteArchive(items, archive);
    BYTE kind = 0;
    ASSERT_TRUE(HeaderKind(archive, kind));
    EXPECT_EQ(kind, 0x17);   // an encoded header
    UINT32 count = 0;
    ASSERT_TRUE(ReadBack(archive, temp.Join(L"x"), count));
    EXPECT_EQ(count, items.size());
    TARN::C7zArchive* reader = nullptr;
    ASSERT_HRESULT_SUCCEEDED(TARN::C7zArchive::Initialize(&reader));
    ASSERT_HRESULT_SUCCEEDED(reader->Open(archive.c_str()));
    std::vector<std::wstring> order(count);
    for (UINT32 i = 0; i < count; ++i) reader->GetItemPath(i, order[i]);
    reader->Release();
    EXPECT_EQ(order[2], L"setup.ini");   // after the programs' block, before every .txt

    std::vector<CArchiveItem> one;
    for (const CArchiveItem& item : items) {
        if (item.name != L"b.dll") one.push_back(item);
    }
    const ULONGLONG single = WriteArchive(one, temp.Join(L"one.7z"));
    // A repeat costs LZMA about 3 bytes per 273; converted otherwise, the copy costs a fifth more.
    EXPECT_LT(both, single + single / 20) << "one copy " << single << " bytes, two " << both;
}
