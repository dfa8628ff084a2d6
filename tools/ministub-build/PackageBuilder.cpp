#include "tools/ministub-build/PackageBuilder.h"

#include <memory>

#include "package/FileHandleWrapper.h"
#include "package/FilePacker.h"
#include "package/PEFileHelper.h"
#include "runtime/PathUtils.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

const DWORD kCopyBuffer = 1 << 20;

std::string Narrow(const std::wstring& s) {
    return WideToUtf8(s);
}

std::string Hex(ULONGLONG v) {
    char buf[32];
    snprintf(buf, sizeof(buf), "0x%llX", v);
    return buf;
}

std::string SystemError(DWORD error) {
    char buf[32];
    snprintf(buf, sizeof(buf), " (error %lu)", error);
    return buf;
}

// Writes through a file handle wrapper, counting what went out.
class COutput {
public:
    bool Open(const std::wstring& path) {
        return m_file.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    bool Write(const void* data, DWORD size) {
        if (!m_file.Write(data, size)) return false;
        m_written += size;
        return true;
    }
    qlLib::CFileHandleWrapper& File() { return m_file; }
    ULONGLONG Written() const { return m_written; }

private:
    qlLib::CFileHandleWrapper m_file;
    ULONGLONG m_written = 0;
};

// Copies count bytes from the source's current position.
bool CopyBytes(qlLib::CFileHandleWrapper& source, COutput& output, ULONGLONG count, BYTE* buffer, std::string& error,
               const std::wstring& sourcePath) {
    while (count > 0) {
        DWORD chunk = count > kCopyBuffer ? kCopyBuffer : static_cast<DWORD>(count);
        if (!source.Read(buffer, chunk)) {
            error = "cannot read " + Narrow(sourcePath) + SystemError(source.GetLastError());
            return false;
        }
        if (!output.Write(buffer, chunk)) {
            error = "cannot write the installer" + SystemError(output.File().GetLastError());
            return false;
        }
        count -= chunk;
    }
    return true;
}

// The bytes of the stub that go in front of the package: the image and its build signature.
bool ReadStubLayout(qlLib::CFileHandleWrapper& stub, const std::wstring& stubPath, DWORD& endOfModule,
                    DWORD& signatureLength, std::string& error) {
    TARN::CPEFileHelper headers;
    if (!headers.ReadHeaders(stub, false)) {
        error = Narrow(stubPath) + " is not a PE executable with sound headers";
        return false;
    }
    ULONGLONG length = 0;
    if (!stub.GetLength(&length)) {
        error = "cannot read " + Narrow(stubPath) + SystemError(stub.GetLastError());
        return false;
    }
    endOfModule = headers.GetEndOfModule();
    DWORD tableOffset = headers.GetCertificateTableOffset();
    DWORD tableSize = headers.GetCertificateTableSize();
    if (endOfModule > length) {
        error = "the stub's sections reach past its end";
        return false;
    }
    if (tableOffset == 0 || tableSize == 0) {
        // Anything behind an unsigned image would be taken for the signature's length.
        if (length != endOfModule) {
            error = "the stub has " + std::to_string(length - endOfModule) +
                    " bytes behind its image; link it stripped and without long section names";
            return false;
        }
        signatureLength = 0;
        return true;
    }
    if (tableOffset != endOfModule) {
        error = "the stub's signature does not start at the end of its image (" + Hex(tableOffset) + " vs " +
                Hex(endOfModule) + ")";
        return false;
    }
    if (static_cast<ULONGLONG>(tableOffset) + tableSize != length) {
        error = "the stub has data behind its certificate table";
        return false;
    }
    DWORD recordLength = 0;
    if (!stub.ReadAt(tableOffset, &recordLength, sizeof(recordLength))) {
        error = "cannot read the stub's signature" + SystemError(stub.GetLastError());
        return false;
    }
    if (recordLength < 8 || recordLength > tableSize) {
        error = "the stub's signature record has an impossible length " + Hex(recordLength);
        return false;
    }
    // Only alignment padding may follow the signature: settings in a stub would be lost.
    if (tableSize - recordLength >= 8) {
        error = "the stub's certificate table holds more than its signature (settings belong in the installer)";
        return false;
    }
    signatureLength = recordLength;
    return true;
}

}  // namespace

bool CPackageBuilder::Build(const std::wstring& stubPath, const std::vector<CPackEntry>& entries,
                            const std::wstring& outputPath, std::string& error) {
    qlLib::CFileHandleWrapper stub;
    if (!stub.Open(stubPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                   nullptr)) {
        error = "cannot open the stub " + Narrow(stubPath) + SystemError(stub.GetLastError());
        return false;
    }
    DWORD endOfModule = 0;
    DWORD signatureLength = 0;
    if (!ReadStubLayout(stub, stubPath, endOfModule, signatureLength, error)) return false;

    TARN::CFilePacker index;
    for (const CPackEntry& entry : entries) {
        if (!qlLib::IsSafeRelativePath(entry.name)) {
            error = "\"" + Narrow(entry.name) + "\" is not a relative path that stays inside its folder";
            return false;
        }
        if (entry.type == TARN::eFileType_Stub) {
            error = "type 6 is the stub itself and is never stored in the index";
            return false;
        }
        HRESULT hr = index.AddEntry(entry.source.c_str(), entry.name.c_str(), entry.type);
        if (FAILED(hr)) {
            char buf[16];
            snprintf(buf, sizeof(buf), "0x%08lX", static_cast<unsigned long>(hr));
            error = "cannot add " + Narrow(entry.source) + " (" + buf + ")";
            return false;
        }
    }
    const std::vector<BYTE>& indexBytes = index.GetIndex();
    ULONGLONG total = static_cast<ULONGLONG>(endOfModule) + (signatureLength ? signatureLength : 4) +
                      TARN::kPackageHeaderSize + indexBytes.size();
    for (ULONGLONG size : index.GetIndexedSizes()) total += size;
    total = (total + 7) & ~7ULL;
    // The certificate table and the settings block are addressed with 32-bit offsets.
    if (total > 0xFFFFFFFFULL - 0x100000) {
        error = "the installer would be " + std::to_string(total) + " bytes; it must stay below 4 GiB";
        return false;
    }

    std::wstring temporary = outputPath + L".partial";
    bool done = false;
    {
        COutput output;
        if (!output.Open(temporary)) {
            error = "cannot create " + Narrow(temporary) + SystemError(output.File().GetLastError());
            return false;
        }
        std::unique_ptr<BYTE[]> buffer(new BYTE[kCopyBuffer]);
        done = [&]() {
            if (!stub.SeekToBegin() || !CopyBytes(stub, output, endOfModule, buffer.get(), error, stubPath)) {
                return false;
            }
            if (signatureLength) {
                if (!CopyBytes(stub, output, signatureLength, buffer.get(), error, stubPath)) return false;
            } else {
                const DWORD placeholder = 0;
                if (!output.Write(&placeholder, sizeof(placeholder))) return error = "cannot write the installer", false;
            }
            DWORD header[5] = {TARN::kPackageMagic, TARN::kPackageVersion, 0, 0, 0};
            ULONGLONG count = index.GetIndexCount();
            memcpy(&header[2], &count, sizeof(count));
            header[4] = static_cast<DWORD>(indexBytes.size());
            if (!output.Write(header, sizeof(header)) ||
                (!indexBytes.empty() && !output.Write(indexBytes.data(), static_cast<DWORD>(indexBytes.size())))) {
                return error = "cannot write the installer", false;
            }
            const std::vector<std::wstring>& files = index.GetIndexedFiles();
            const std::vector<ULONGLONG>& sizes = index.GetIndexedSizes();
            for (size_t i = 0; i < files.size(); ++i) {
                qlLib::CFileHandleWrapper source;
                ULONGLONG now = 0;
                if (!source.Open(files[i].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr) ||
                    !source.GetLength(&now)) {
                    error = "cannot read " + Narrow(files[i]) + SystemError(source.GetLastError());
                    return false;
                }
                if (now != sizes[i]) {
                    error = Narrow(files[i]) + " changed while the installer was built";
                    return false;
                }
                if (!CopyBytes(source, output, sizes[i], buffer.get(), error, files[i])) return false;
            }
            static const BYTE zeros[8] = {};
            DWORD padding = static_cast<DWORD>((8 - output.Written() % 8) % 8);
            if (padding && !output.Write(zeros, padding)) return error = "cannot write the installer", false;

            // The installer is not signed yet: its security directory must not point at the
            // stub's signature (a signing tool would cut the package off there).
            TARN::CPEFileHelper headers;
            if (!headers.ReadHeaders(output.File(), true)) return error = "cannot read back the installer", false;
            headers.SetCertificateTable(0, 0);
            if (!headers.UpdateSecurityDirectoryEntry(output.File()) ||
                !headers.UpdateChecksum(output.File(), temporary.c_str())) {
                return error = "cannot update the installer's headers", false;
            }
            return true;
        }();
    }
    if (done && !::MoveFileExW(temporary.c_str(), outputPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = "cannot create " + Narrow(outputPath) + SystemError(::GetLastError());
        done = false;
    }
    if (!done) ::DeleteFileW(temporary.c_str());
    return done;
}

}  // namespace builder
