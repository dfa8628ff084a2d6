#pragma once
// What an installer holds: its PE layout, the package index and the product settings, as plain
// text or JSON.
#include <windows.h>

#include <string>
#include <vector>

#include "package/ValueCollection.h"
#include "runtime/ComPtr.h"

namespace builder {

struct CIndexEntry {
    std::wstring name;
    ULONGLONG offset;
    ULONGLONG size;
    DWORD type;
};

struct CInstallerReport {
    std::wstring path;
    ULONGLONG fileLength = 0;
    DWORD endOfModule = 0;
    DWORD storedChecksum = 0;
    DWORD computedChecksum = 0;
    DWORD certificateTableOffset = 0;   // as the security directory says
    DWORD certificateTableSize = 0;

    bool hasPackage = false;
    DWORD buildSignatureLength = 0;
    ULONGLONG packageOffset = 0;
    DWORD packageVersion = 0;
    ULONGLONG entryCount = 0;
    DWORD indexSize = 0;
    std::vector<CIndexEntry> entries;
    std::string packageError;   // why the index could not be read to its end

    bool settingsRead = false;
    bool isSigned = false;
    DWORD signatureLength = 0;
    bool hasBlock = false;
    bool blockInSignature = false;   // an attribute of the signature, not a record behind it
    DWORD blockPosition = 0;
    DWORD blockLength = 0;
    DWORD blockVersion = 0;
    DWORD storedHash = 0;
    DWORD computedHash = 0;
    DWORD storedSize = 0;
    std::string settingsError;
    qlLib::CComPtr<qlLib::IKeyValueCollection> settings;
};

class CInstallerInspector {
public:
    // Fails only when the file is not a readable PE executable; a missing or damaged package
    // or settings block is reported in the result.
    bool Inspect(const std::wstring& path, CInstallerReport& report, std::string& error);

    static std::string FormatText(const CInstallerReport& report);
    static std::string FormatJson(const CInstallerReport& report);
};

const char* EntryTypeName(DWORD type);

}  // namespace builder
