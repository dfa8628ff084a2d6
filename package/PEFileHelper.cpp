#include "package/PEFileHelper.h"

#include <imagehlp.h>

#include <cstring>
#include <memory>
#include <new>

#include "runtime/Trace.h"

namespace TARN {

namespace {

// The NT headers in their larger (PE32+) layout; a PE32 header is shorter and fits as well.
const DWORD kNtHeadersReadSize = sizeof(IMAGE_NT_HEADERS64);
static_assert(sizeof(IMAGE_NT_HEADERS64) == 264, "NT headers read size");

// Offsets inside the NT headers (from e_lfanew).
const DWORD kOptionalHeaderOffset = 4 + sizeof(IMAGE_FILE_HEADER);   // 24
const DWORD kChecksumOffset = kOptionalHeaderOffset + offsetof(IMAGE_OPTIONAL_HEADER32, CheckSum);
const DWORD kSecurityEntry32 = kOptionalHeaderOffset + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory) +
                               IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
const DWORD kSecurityEntry64 = kOptionalHeaderOffset + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) +
                               IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
static_assert(kChecksumOffset == 88 && kSecurityEntry32 == 152 && kSecurityEntry64 == 168, "PE layout");
static_assert(offsetof(IMAGE_OPTIONAL_HEADER64, CheckSum) == offsetof(IMAGE_OPTIONAL_HEADER32, CheckSum),
              "checksum at the same place in both layouts");

template <class T>
T Field(const BYTE* buffer, DWORD offset) {
    T value;
    std::memcpy(&value, buffer + offset, sizeof value);
    return value;
}

}  // namespace

void CPEFileHelper::ResetHeaders() {
    m_headersRead = false;
    m_checksumOffset = m_checksumSize = 0;
    m_securityEntryOffset = m_securityEntrySize = 0;
    m_certificateTableOffset = m_certificateTableSize = 0;
    m_endOfModule = 0;
}

bool CPEFileHelper::ReadHeaders(qlLib::CFileHandleWrapper& file, bool ignoreCertificateBounds) {
    if (m_headersRead) return true;

    ULONGLONG fileLength = 0;
    if (!file.GetLength(&fileLength)) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(64) : CSignedPEFile::ReadHeaders() : GetLength() == FALSE\n");
        return false;
    }
    IMAGE_DOS_HEADER dosHeader;
    if (!file.ReadAt(0, &dosHeader, sizeof dosHeader)) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(71) : CSignedPEFile::ReadHeaders() : Read() == FALSE\n");
        return false;
    }
    if (dosHeader.e_magic != IMAGE_DOS_SIGNATURE) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(76) : CSignedPEFile::ReadHeaders() : IMAGE_DOS_SIGNATURE != dosHeader.e_magic\n");
        return false;
    }

    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kNtHeadersReadSize]);
    if (!buffer) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(82) : CSignedPEFile::ReadHeaders() : buffer.Alloc() == NULL\n");
        return false;
    }
    // A negative e_lfanew addresses nothing in the file; treated like a read past its end.
    if (dosHeader.e_lfanew < 0 ||
        !file.ReadAt(static_cast<ULONGLONG>(dosHeader.e_lfanew), buffer.get(), kNtHeadersReadSize)) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(88) : CSignedPEFile::ReadHeaders() : Read() == FALSE\n");
        return false;
    }
    const BYTE* nt = buffer.get();
    if (Field<DWORD>(nt, 0) != IMAGE_NT_SIGNATURE) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(94) : CSignedPEFile::ReadHeaders() : IMAGE_NT_SIGNATURE != pHeaders32->Signature\n");
        return false;
    }

    // e_lfanew + 264 lies inside the file, so these offsets fit in 32 bits.
    const DWORD base = static_cast<DWORD>(dosHeader.e_lfanew);
    const WORD magic = Field<WORD>(nt, kOptionalHeaderOffset);
    DWORD securityEntry = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        securityEntry = kSecurityEntry32;
    } else if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        securityEntry = kSecurityEntry64;
    } else {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(107) : CSignedPEFile::ReadHeaders() : Unknown PE header format\n");
        return false;
    }
    m_checksumOffset = base + kChecksumOffset;
    m_securityEntryOffset = base + securityEntry;
    const IMAGE_DATA_DIRECTORY security = Field<IMAGE_DATA_DIRECTORY>(nt, securityEntry);
    m_certificateTableOffset = security.VirtualAddress;
    m_certificateTableSize = security.Size;

    // The table as a whole must lie inside the file: each bound alone would let offset + size
    // reach past the end.
    if (!ignoreCertificateBounds &&
        (m_certificateTableOffset > fileLength || m_certificateTableSize > fileLength - m_certificateTableOffset)) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(119) : CSignedPEFile::ReadHeaders() : m_dwWinCertificateLength > m_dwMaxCertificateSize\n");
        return false;
    }
    m_checksumSize = sizeof(DWORD);
    m_securityEntrySize = sizeof(IMAGE_DATA_DIRECTORY);

    const WORD sectionCount = Field<WORD>(nt, 4 + offsetof(IMAGE_FILE_HEADER, NumberOfSections));
    const WORD optionalHeaderSize = Field<WORD>(nt, 4 + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader));
    if (sectionCount == 0) {
        // Without a section table there is no end of module to take.
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(129) : CSignedPEFile::ReadHeaders() : NumberOfSections == 0\n");
        return false;
    }
    const ULONGLONG lastSection = static_cast<ULONGLONG>(base) + kOptionalHeaderOffset + optionalHeaderSize +
                                  static_cast<ULONGLONG>(sectionCount - 1) * sizeof(IMAGE_SECTION_HEADER);
    IMAGE_SECTION_HEADER section;
    if (!file.ReadAt(lastSection, &section, sizeof section)) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(136) : CSignedPEFile::ReadHeaders() : Read() == FALSE\n");
        return false;
    }
    const ULONGLONG end = static_cast<ULONGLONG>(section.PointerToRawData) + section.SizeOfRawData;
    if (end > 0xFFFFFFFFull) {
        TraceError(L"TARN::CPEFileHelper::ReadHeaders(141) : CSignedPEFile::ReadHeaders() : end of module beyond 4GB\n");
        return false;
    }
    m_endOfModule = static_cast<DWORD>(end);
    m_headersRead = true;
    return true;
}

bool CPEFileHelper::UpdateSecurityDirectoryEntry(qlLib::CFileHandleWrapper& file) {
    if (!m_headersRead || !file.IsOpen()) {
        TraceError(L"TARN::CPEFileHelper::UpdateSecurityDirectoryEntry(151) : file is not accessible");
        return false;
    }
    const IMAGE_DATA_DIRECTORY entry = {m_certificateTableOffset, m_certificateTableSize};
    if (!file.WriteAt(m_securityEntryOffset, &entry, sizeof entry)) {
        TraceError(L"TARN::CPEFileHelper::UpdateSecurityDirectoryEntry(156) : failed to write security directory entry (%lu)",
                   file.GetLastError());
        return false;
    }
    if (!file.Flush()) {
        TraceError(L"TARN::CPEFileHelper::UpdateSecurityDirectoryEntry(161) : failed to flush file (%lu)",
                   file.GetLastError());
        return false;
    }
    return true;
}

bool CPEFileHelper::UpdateChecksum(qlLib::CFileHandleWrapper& file, const wchar_t* path) {
    if (!m_headersRead || !file.IsOpen()) {
        TraceError(L"TARN::CPEFileHelper::UpdateChecksum(170) : file is not accessible");
        return false;
    }
    if (!path || !*path) {
        TraceError(L"TARN::CPEFileHelper::UpdateChecksum(174) : invalid parameter - filename");
        return false;
    }
    DWORD headerSum = 0;
    DWORD checksum = 0;
    const DWORD result = ::MapFileAndCheckSumW(path, &headerSum, &checksum);
    if (result != CHECKSUM_SUCCESS) {
        TraceError(L"TARN::CPEFileHelper::UpdateChecksum(181) : MapFileAndCheckSumW failed: %lu", result);
        return false;
    }
    if (!file.WriteAt(m_checksumOffset, &checksum, sizeof checksum)) {
        TraceError(L"TARN::CPEFileHelper::UpdateChecksum(185) : failed to write checksum to file");
        return false;
    }
    return true;
}

}  // namespace TARN
