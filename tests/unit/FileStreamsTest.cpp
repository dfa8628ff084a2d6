#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "package/ArchivingFileStreamImpl.h"
#include "package/FileHandleWrapper.h"
#include "package/FileStreamImpl.h"
#include "package/KeyValueCollectionImpl.h"
#include "package/MemoryStreamImpl.h"
#include "package/PlainFileStream.h"
#include "support/TestSupport.h"

using namespace qlLib;
using testing_support::CCaptureProcessTrace;
using testing_support::CTempFolder;

namespace {

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Contents(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    EXPECT_TRUE(testing_support::ReadFileBytes(path, bytes));
    return std::string(bytes.begin(), bytes.end());
}

std::wstring Numbered(const CTempFolder& folder, int number) {
    return folder.Join(L"Install." + std::to_wstring(number) + L".mft");
}

DWORD ErrorOf(IDataStream* stream) {
    auto info = CComPtr<IDataStream>(stream).As<IFileErrorInfo>(IID_IFileErrorInfo);
    return info ? info->GetLastError() : 0;
}

}  // namespace

TEST(FileHandleWrapper, FailuresKeepANonZeroError) {
    CFileHandleWrapper file;
    for (const wchar_t* path : {static_cast<const wchar_t*>(nullptr), L""}) {
        ::SetLastError(1234);
        EXPECT_FALSE(file.Open(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(::GetLastError(), 1234u);   // the system was not asked
    }
    BYTE b = 0;
    EXPECT_FALSE(file.Read(&b, 1));
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    CTempFolder folder;
    EXPECT_FALSE(file.Open(folder.Join(L"missing.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const std::wstring path = folder.Join(L"ten.bin");
    ASSERT_TRUE(testing_support::WriteTextFile(path, "0123456789"));
    ASSERT_TRUE(file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(file.Write("x", 1));   // read-only handle
    EXPECT_NE(file.GetLastError(), 0u);
    EXPECT_FALSE(file.Seek(-1, FILE_BEGIN));
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    // The system calls a read that meets the end of file a success with fewer bytes.
    char buffer[6];
    EXPECT_FALSE(file.ReadAt(5, buffer, 6));
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    ASSERT_TRUE(file.ReadAt(5, buffer, 5));
    EXPECT_EQ(std::string(buffer, 5), "56789");
    EXPECT_EQ(file.GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));   // kept until the next failure
}

TEST(FileHandleWrapper, LargePositionsAndLength) {
    CTempFolder folder;
    CFileHandleWrapper file;
    ASSERT_TRUE(file.Open(folder.Join(L"sparse.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          0, nullptr));
    // A low half of 0xFFFFFFFF is also what the system answers on failure.
    ULONGLONG position = 0;
    ASSERT_TRUE(file.Seek(0x1FFFFFFFFll, FILE_BEGIN, &position));
    EXPECT_EQ(position, 0x1FFFFFFFFull);
    ASSERT_TRUE(file.WriteAt(0, "abcdef", 6));
    ASSERT_TRUE(file.SetLength(3));   // the position was past the new end: now the end
    ASSERT_TRUE(file.GetPosition(&position));
    EXPECT_EQ(position, 3u);
    ASSERT_TRUE(file.SeekToBegin());
    ASSERT_TRUE(file.SetLength(5));   // otherwise the position stays
    ASSERT_TRUE(file.SeekToEnd(&position) && file.GetLength(&position));
    EXPECT_EQ(position, 5u);
    char buffer[5];
    ASSERT_TRUE(file.ReadAt(0, buffer, 5));
    EXPECT_EQ(std::string(buffer, 5), std::string("abc\0\0", 5));
}

TEST(PlainFileStream, SetSizeRewinds) {
    CTempFolder folder;
    auto stream = CComPtr<CPlainFileStream>::Adopt(CreatePlainFileStream());
    ASSERT_TRUE(stream->Open(folder.Join(L"plain.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(stream->Write("0123456789", 10));
    ASSERT_TRUE(stream->SetSize(4));
    ULONGLONG value = 99;
    ASSERT_TRUE(stream->GetPosition(&value));
    EXPECT_EQ(value, 0u);
    char buffer[5];
    EXPECT_FALSE(stream->Read(buffer, 5));
    EXPECT_EQ(ErrorOf(stream.Get()), static_cast<DWORD>(ERROR_HANDLE_EOF));
}

TEST(WindowedStream, EntryOfALargerFile) {
    CTempFolder folder;
    const std::wstring path = folder.Join(L"package.bin");
    ASSERT_TRUE(testing_support::WriteTextFile(path, std::string(1000, 'a') + "b" + std::string(3999, 'c')));
    CCaptureProcessTrace trace;
    auto stream = CComPtr<CFileStreamImpl>::Adopt(CreateFileStreamImpl());
    ASSERT_TRUE(stream->Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(stream->Seek(1000));
    ASSERT_TRUE(stream->SetBase());
    ASSERT_TRUE(stream->SetLimit(50));
    EXPECT_TRUE(trace.Contains(L"base adjusted to 1000"));

    ULONGLONG value = 0, raw = 0;
    ASSERT_TRUE(stream->GetSize(&value));
    EXPECT_EQ(value, 50u);
    ASSERT_TRUE(stream->Seek(80));
    ASSERT_TRUE(stream->File().GetPosition(&raw));
    EXPECT_EQ(raw, 1050u);
    // The shared window: the reader moves the file past the entry, then the handler asks.
    ASSERT_TRUE(stream->File().Seek(1750, FILE_BEGIN));
    ASSERT_TRUE(stream->GetPosition(&value) && stream->File().GetPosition(&raw));
    EXPECT_EQ(value, 50u);
    EXPECT_EQ(raw, 1050u);
    ASSERT_TRUE(stream->Seek(0));
    char b = 0;
    ASSERT_TRUE(stream->Read(&b, 1));
    EXPECT_EQ(b, 'b');
    // Read-only even over a writable handle.
    EXPECT_FALSE(stream->Write("x", 1));
    EXPECT_FALSE(stream->SetSize(0));
    EXPECT_NE(ErrorOf(stream.Get()), 0u);

    // Reopening drops the window.
    ASSERT_TRUE(stream->Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(stream->SetSize(10));
    EXPECT_TRUE(stream->Write("x", 1));
}

TEST(ArchivingStream, TakesTheFirstFreeNumberAndDropsAnEmptyFile) {
    CTempFolder folder;
    ASSERT_TRUE(testing_support::WriteTextFile(Numbered(folder, 1), "one"));
    ASSERT_TRUE(testing_support::WriteTextFile(Numbered(folder, 2), "two"));
    auto stream = CComPtr<CArchivingFileStreamImpl>::Adopt(CreateArchivingFileStreamImpl());
    ASSERT_TRUE(stream->SetFileNameFormat(folder.Join(L"Install.%d.mft").c_str()));
    EXPECT_EQ(stream->GetNumber(), 3u);
    EXPECT_TRUE(Exists(Numbered(folder, 3)));
    stream.Release();
    EXPECT_FALSE(Exists(Numbered(folder, 3)));
    EXPECT_EQ(Contents(Numbered(folder, 2)), "two");
}

TEST(ArchivingStream, EmptyingAFileThatHoldsDataMovesOn) {
    CTempFolder folder;
    auto stream = CComPtr<CArchivingFileStreamImpl>::Adopt(CreateArchivingFileStreamImpl());
    ASSERT_TRUE(stream->SetFileNameFormat(folder.Join(L"Install.%d.mft").c_str()));
    ASSERT_TRUE(stream->Write("first", 5));
    ASSERT_TRUE(stream->SetSize(0));
    ASSERT_TRUE(stream->SetSize(0));   // the new file is still empty: no further step
    EXPECT_EQ(stream->GetFileName(), Numbered(folder, 2));
    ASSERT_TRUE(stream->Write("second", 6));
    ASSERT_TRUE(stream->SetSize(2));   // any other size truncates
    ASSERT_TRUE(stream->SetSize(0));
    EXPECT_EQ(stream->GetNumber(), 3u);
    stream.Release();
    EXPECT_EQ(Contents(Numbered(folder, 1)), "first");
    EXPECT_EQ(Contents(Numbered(folder, 2)), "se");
    EXPECT_FALSE(Exists(Numbered(folder, 3)));
}

TEST(ArchivingStream, AllNumbersTakenOverwritesTheLast) {
    CTempFolder folder;
    for (int i = 1; i <= 199; ++i) ASSERT_TRUE(testing_support::WriteTextFile(Numbered(folder, i), "old"));
    auto stream = CComPtr<CArchivingFileStreamImpl>::Adopt(CreateArchivingFileStreamImpl());
    ASSERT_TRUE(stream->SetFileNameFormat(folder.Join(L"Install.%d.mft").c_str()));
    EXPECT_EQ(stream->GetNumber(), 199u);
    ASSERT_TRUE(stream->Write("new", 3));
    stream.Release();
    EXPECT_EQ(Contents(Numbered(folder, 199)), "new");
    EXPECT_EQ(Contents(Numbered(folder, 198)), "old");
}

TEST(ArchivingStream, FormatsAndCreationFailures) {
    for (const wchar_t* bad : {L"Install.mft", L"%s.%d", L"%d.%d", L"%n%d", L"%I64d", L"%*d", L"%100d", L"%", L"%l"})
        EXPECT_FALSE(CArchivingFileStreamImpl::IsValidFileNameFormat(bad)) << bad;
    for (const wchar_t* good : {L"Install.%d.mft", L"%%%u", L"log%03lu.txt", L"%-2x%%"})
        EXPECT_TRUE(CArchivingFileStreamImpl::IsValidFileNameFormat(good)) << good;

    CTempFolder folder;
    CCaptureProcessTrace trace;
    auto stream = CComPtr<CArchivingFileStreamImpl>::Adopt(CreateArchivingFileStreamImpl());
    EXPECT_FALSE(stream->SetFileNameFormat(folder.Join(L"%s\\Install.%d.mft").c_str()));
    EXPECT_EQ(stream->GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(stream->SetFileNameFormat(folder.Join(L"missing\\Install.%d.mft").c_str()));
    EXPECT_EQ(stream->GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(trace.Contains(L" : failed to create file: " + folder.Join(L"missing\\Install.1.mft") + L" (3)"));
}

TEST(StreamedCollections, SaveAndLoadThroughMemoryAndFile) {
    CTempFolder folder;
    auto plain = CComPtr<CPlainFileStream>::Adopt(CreatePlainFileStream());
    ASSERT_TRUE(plain->Open(folder.Join(L"kvc.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS));
    auto memory = CComPtr<CMemoryStreamImpl>::Adopt(CreateMemoryStreamImpl());
    for (IDataStream* stream : {static_cast<IDataStream*>(memory.Get()), static_cast<IDataStream*>(plain.Get())}) {
        auto source = CKeyValueCollectionImpl::New();
        ASSERT_TRUE(source->SetWString(0, L"VLM") && source->SetUInt64(7, 0x123456789ull));
        auto saver = CComPtr<IKeyValueCollection>(source).As<ISerialize>(IID_ISerialize);
        ASSERT_TRUE(saver->Save(stream));
        DWORD expected = 0;
        ULONGLONG size = 0;
        ASSERT_TRUE(saver->GetSize(&expected) && stream->GetSize(&size));
        EXPECT_EQ(size, expected);

        ASSERT_TRUE(stream->Seek(0));
        auto copy = CKeyValueCollectionImpl::New();
        ASSERT_TRUE(CComPtr<IKeyValueCollection>(copy).As<ISerialize>(IID_ISerialize)->Load(stream));
        std::wstring product;
        ULONGLONG big = 0;
        ASSERT_TRUE(copy->GetWString(0, &product) && copy->GetUInt64(7, &big));
        EXPECT_EQ(product, L"VLM");
        EXPECT_EQ(big, 0x123456789ull);
        EXPECT_EQ(copy->GetCount(), 2u);
    }
}
