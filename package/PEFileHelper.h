#pragma once
// The few PE header fields the package reader and the embedded data block need: where the image
// ends, where the checksum and the security (certificate table) directory entry live, and what
// that entry says. Patches the entry and the checksum back; never loads the image.
#include <windows.h>

#include "package/FileHandleWrapper.h"

namespace TARN {

class CPEFileHelper {
public:
    CPEFileHelper() = default;
    virtual ~CPEFileHelper() = default;
    CPEFileHelper(const CPEFileHelper&) = delete;
    CPEFileHelper& operator=(const CPEFileHelper&) = delete;

    // PE32 and PE32+. Once it succeeded it answers true at once without reading again. Unless
    // ignoreCertificateBounds is set, a certificate table reaching past the file's end fails.
    bool ReadHeaders(qlLib::CFileHandleWrapper& file, bool ignoreCertificateBounds);
    // Writes {certificate table offset, size} into the security directory entry and flushes.
    bool UpdateSecurityDirectoryEntry(qlLib::CFileHandleWrapper& file);
    // Recomputes the checksum of the file as it is on disk (path) and writes it into the header;
    // everything else must be written first.
    bool UpdateChecksum(qlLib::CFileHandleWrapper& file, const wchar_t* path);

    bool HeadersRead() const { return m_headersRead; }
    DWORD GetEndOfModule() const { return m_endOfModule; }
    DWORD GetChecksumOffset() const { return m_checksumOffset; }
    DWORD GetChecksumSize() const { return m_checksumSize; }
    DWORD GetSecurityEntryOffset() const { return m_securityEntryOffset; }
    DWORD GetSecurityEntrySize() const { return m_securityEntrySize; }
    DWORD GetCertificateTableOffset() const { return m_certificateTableOffset; }
    DWORD GetCertificateTableSize() const { return m_certificateTableSize; }
    // What the next UpdateSecurityDirectoryEntry writes.
    void SetCertificateTable(DWORD offset, DWORD size) {
        m_certificateTableOffset = offset;
        m_certificateTableSize = size;
    }

protected:
    // Forget what was read, so that the next ReadHeaders reads another file.
    void ResetHeaders();

    bool m_headersRead = false;
    DWORD m_checksumOffset = 0;
    DWORD m_checksumSize = 0;
    DWORD m_securityEntryOffset = 0;
    DWORD m_securityEntrySize = 0;
    DWORD m_certificateTableOffset = 0;
    DWORD m_certificateTableSize = 0;
    DWORD m_endOfModule = 0;
};

}  // namespace TARN
