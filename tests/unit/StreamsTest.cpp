#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "package/FileStreamImpl.h"
#include "package/MemoryStreamImpl.h"
#include "support/TestSupport.h"

using namespace qlLib;
using testing_support::CTempFolder;

namespace {

CComPtr<CMemoryStreamImpl> MemoryStream(const char* text) {
    auto stream = CComPtr<CMemoryStreamImpl>::Adopt(CreateMemoryStreamImpl());
    EXPECT_TRUE(stream->Write(text, static_cast<DWORD>(std::strlen(text))));
    EXPECT_TRUE(stream->Seek(0));
    return stream;
}

ULONGLONG Position(IDataStream* stream) {
    ULONGLONG position = ~0ull;
    EXPECT_TRUE(stream->GetPosition(&position));
    return position;
}

// A 5000-byte file whose byte i is i % 251, opened for reading.
CComPtr<CFileStreamImpl> OpenPatternFile(const CTempFolder& folder) {
    const std::wstring path = folder.Join(L"package.bin");
    std::vector<BYTE> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(i % 251);
    EXPECT_TRUE(testing_support::WriteFileBytes(path, bytes.data(), bytes.size()));
    auto stream = CComPtr<CFileStreamImpl>::Adopt(CreateFileStreamImpl());
    EXPECT_TRUE(stream->Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    return stream;
}

// A window as the package reader sets one up: the base is the file's current position.
void SetWindow(CFileStreamImpl* stream, ULONGLONG base, ULONGLONG limit) {
    ASSERT_TRUE(stream->File().Seek(static_cast<LONGLONG>(base), FILE_BEGIN));
    ASSERT_TRUE(stream->SetBase());
    ASSERT_TRUE(stream->SetLimit(limit));
}

}  // namespace

TEST(MemoryStream, ReadsAndSeeksStayInsideTheData) {
    auto stream = MemoryStream("0123456789");
    EXPECT_FALSE(stream->Seek(11));
    EXPECT_FALSE(stream->Seek(0x100000000ull));
    ASSERT_TRUE(stream->Seek(8));
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_FALSE(stream->Read(buffer, 3));   // all or nothing
    EXPECT_EQ(Position(stream.Get()), 8u);
    EXPECT_EQ(buffer[0], 'x');
    ASSERT_TRUE(stream->Read(buffer, 2));
    EXPECT_EQ(std::string(buffer, 2), "89");
    EXPECT_TRUE(stream->Seek(10));
    EXPECT_FALSE(stream->Read(buffer, 1));
}

TEST(MemoryStream, WritesGrowOverwriteAndMayCopyTheirOwnBuffer) {
    auto stream = MemoryStream("0123456789");
    ASSERT_TRUE(stream->Seek(8));
    ASSERT_TRUE(stream->Write("abcd", 4));
    ASSERT_TRUE(stream->Seek(0));
    ASSERT_TRUE(stream->Write(stream->Data() + 8, 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream->Data()), stream->Size()), "abcd4567abcd");
    // Each of these writes makes the buffer move while it is the source.
    ASSERT_TRUE(stream->Seek(12));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(stream->Write(stream->Data(), stream->Size()));
    EXPECT_EQ(stream->Size(), 96u);
    EXPECT_EQ(std::memcmp(stream->Data() + 84, "abcd4567abcd", 12), 0);
}

TEST(MemoryStream, SetSizeKeepsThePrefixAndRewinds) {
    auto stream = MemoryStream("0123456789");
    ASSERT_TRUE(stream->Seek(7));
    ASSERT_TRUE(stream->SetSize(4));
    EXPECT_EQ(Position(stream.Get()), 0u);
    ASSERT_TRUE(stream->SetSize(6));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream->Data()), stream->Size()), std::string("0123\0\0", 6));
    EXPECT_FALSE(stream->SetSize(0x100000000ull));   // more than 32 bits
    EXPECT_EQ(stream->TakeData().size(), 6u);
    EXPECT_EQ(stream->Size(), 0u);
}

TEST(WindowedStream, ReadNeverCrossesTheWindowEnd) {
    CTempFolder folder;
    auto stream = OpenPatternFile(folder);
    BYTE buffer[16] = {};
    ASSERT_TRUE(stream->Seek(1045));
    ASSERT_TRUE(stream->Read(buffer, 16));   // no window: anywhere in the file

    SetWindow(stream.Get(), 1000, 50);
    ASSERT_TRUE(stream->Seek(45));
    // The next entry's bytes stay out of reach, and nothing is consumed.
    EXPECT_FALSE(stream->Read(buffer, 6));
    EXPECT_EQ(stream->GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    EXPECT_EQ(Position(stream.Get()), 45u);
    ASSERT_TRUE(stream->Read(buffer, 5));
    EXPECT_EQ(buffer[4], static_cast<BYTE>(1049 % 251));
    EXPECT_FALSE(stream->Read(buffer, 1));
}

TEST(WindowedStream, EdgesDoNotWrapAround) {
    CTempFolder folder;
    auto stream = OpenPatternFile(folder);
    EXPECT_FALSE(stream->SetLimit(10));   // no base yet
    EXPECT_FALSE(stream->Seek(ULLONG_MAX));
    EXPECT_EQ(stream->GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    ASSERT_TRUE(stream->File().Seek(4000, FILE_BEGIN));
    ASSERT_TRUE(stream->SetBase());
    EXPECT_FALSE(stream->SetLimit(ULLONG_MAX));
    EXPECT_FALSE(stream->SetLimit(static_cast<ULONGLONG>(LLONG_MAX) - 3999));
    ASSERT_TRUE(stream->SetLimit(1ull << 40));
    ASSERT_TRUE(stream->Seek(ULLONG_MAX));   // clamped to the window's end
    EXPECT_EQ(Position(stream.Get()), 1ull << 40);
    ULONGLONG size = 0;
    ASSERT_TRUE(stream->GetSize(&size));
    EXPECT_EQ(size, 1000u);   // the file ends before the window does

    // The owner moved the file before the window: no position, no read.
    BYTE b = 0;
    ASSERT_TRUE(stream->File().Seek(10, FILE_BEGIN));
    EXPECT_FALSE(stream->GetPosition(&size));
    EXPECT_FALSE(stream->Read(&b, 1));
    EXPECT_NE(stream->GetLastError(), 0u);
}

TEST(WindowedStream, EmptyEntryShowsNothing) {
    CTempFolder folder;
    auto stream = OpenPatternFile(folder);
    SetWindow(stream.Get(), 0, 0);   // even at the start of the file
    ULONGLONG size = 1;
    ASSERT_TRUE(stream->GetSize(&size));
    EXPECT_EQ(size, 0u);
    BYTE b = 0;
    EXPECT_FALSE(stream->Read(&b, 1));
}
