#include "tools/ministub-build/InstallerInspector.h"

#include <imagehlp.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "package/BlockHash.h"
#include "package/FileDataExtender.h"
#include "package/FileHandleWrapper.h"
#include "package/FilePacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "package/PEFileHelper.h"
#include "package/SignerAttribute.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

const DWORD kMagicV1 = 0x50417062;   // "bpAP"
const DWORD kMagicV0 = 0x62704170;   // "pApb"

// Lists the index: every entry is offered through a window on the package file.
class CIndexLister : public TARN::CFilePacker {
public:
    explicit CIndexLister(std::vector<CIndexEntry>& entries) : m_entries(entries) {}
    DWORD GetExtractMode(DWORD type) override {
        return type == TARN::eFileType_Stub ? TARN::eExtract_Skip : TARN::eExtract_SharedWindow;
    }
    HRESULT OnExtractStream(DWORD type, qlLib::IDataStream* stream, const wchar_t* path, ULONGLONG size) override {
        auto* file = static_cast<qlLib::CFileStreamImpl*>(stream);
        m_entries.push_back(CIndexEntry{path ? path : L"", file->GetBase(), size, type});
        return S_OK;
    }

private:
    std::vector<CIndexEntry>& m_entries;
};

std::string Hex(ULONGLONG v, int width = 0) {
    char buf[32];
    snprintf(buf, sizeof(buf), "0x%0*llX", width, v);
    return buf;
}

std::string HResultText(HRESULT hr) {
    char buf[32];
    snprintf(buf, sizeof(buf), "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

void ReadBlock(const std::wstring& path, CInstallerReport& report) {
    TARN::CFileDataExtender extender;
    if (!extender.Initialize(path.c_str(), false)) {
        report.settingsError = "the settings block cannot be read";
        return;
    }
    report.settingsRead = true;
    report.isSigned = extender.IsSigned();
    report.signatureLength = extender.GetSignatureLength();
    report.settings = qlLib::CKeyValueCollectionImpl::New();
    if (!report.settings || !extender.GetCollection(report.settings.Get())) {
        report.settingsError = "the settings cannot be copied";
        return;
    }
    // Where the block is, and its header, read from the file itself.
    ULONGLONG position = static_cast<ULONGLONG>(extender.GetCertificateTableOffset()) + extender.GetSignatureLength();
    qlLib::CFileHandleWrapper file;
    if (position > 0xFFFFFFFFULL ||
        !file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
        return;
    }
    std::vector<BYTE> block;
    if (extender.HasSignatureBlock()) {
        std::vector<BYTE> signature(extender.GetSignatureLength());
        if (signature.size() < 8 || !file.ReadAt(extender.GetCertificateTableOffset(), signature.data(), signature.size()) ||
            TARN::CSignerAttribute::Read(signature.data() + 8, signature.size() - 8, block) != S_OK) {
            return;
        }
        report.blockInSignature = true;
    } else {
        // The header, and the serialised bytes as stored, bounded by the file.
        DWORD header[5] = {};
        if (!file.ReadAt(position, header, 8) || (header[1] != kMagicV1 && header[1] != kMagicV0)) return;
        DWORD length = 8;
        if (header[1] == kMagicV1 && file.ReadAt(position, header, 20) && header[4] >= 20 &&
            header[4] <= report.fileLength - position && header[4] <= 0x10000000) {
            length = header[4];
        }
        block.resize(length);
        if (!file.ReadAt(position, block.data(), length)) return;
        report.blockPosition = static_cast<DWORD>(position);
    }
    DWORD header[5] = {};
    memcpy(header, block.data(), block.size() < sizeof header ? block.size() : sizeof header);
    report.hasBlock = true;
    report.blockLength = header[0];
    report.blockVersion = extender.GetVersion();
    report.storedHash = extender.GetStoredHash();
    report.storedSize = extender.GetStoredSize();
    if (header[1] != kMagicV1) return;   // version 0 carries no hash
    if (report.storedSize < 20 || report.storedSize > block.size()) return;
    report.computedHash = TARN::ComputeBlockHash(block.data() + 20, report.storedSize - 20);
}

}  // namespace

const char* EntryTypeName(DWORD type) {
    switch (type) {
    case TARN::eFileType_Extract: return "file";
    case TARN::eFileType_Archive: return "layout";
    case TARN::eFileType_InstallPackage: return "install-package";
    case TARN::eFileType_Scanner: return "scanner";
    case TARN::eFileType_UIPackage: return "ui-package";
    case TARN::eFileType_Stub: return "stub";
    default: return "unknown";
    }
}

bool CInstallerInspector::Inspect(const std::wstring& path, CInstallerReport& report, std::string& error) {
    report = CInstallerReport();
    report.path = path;
    {
        qlLib::CFileHandleWrapper file;
        TARN::CPEFileHelper headers;
        if (!file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr)) {
            error = "cannot open " + WideToUtf8(path);
            return false;
        }
        if (!file.GetLength(&report.fileLength) || !headers.ReadHeaders(file, true)) {
            error = WideToUtf8(path) + " is not a PE executable with sound headers";
            return false;
        }
        report.endOfModule = headers.GetEndOfModule();
        report.certificateTableOffset = headers.GetCertificateTableOffset();
        report.certificateTableSize = headers.GetCertificateTableSize();
        file.ReadAt(headers.GetChecksumOffset(), &report.storedChecksum, sizeof(DWORD));
        DWORD headerSum = 0;
        if (::MapFileAndCheckSumW(path.c_str(), &headerSum, &report.computedChecksum) != CHECKSUM_SUCCESS) {
            report.computedChecksum = 0;
        }
    }

    CIndexLister lister(report.entries);
    report.hasPackage = lister.ContainsPackage(path.c_str());
    report.buildSignatureLength = lister.GetSignatureLength();
    report.packageOffset = lister.GetPackageOffset();
    if (report.hasPackage) {
        qlLib::CFileHandleWrapper file;
        DWORD header[5] = {};
        if (file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      nullptr) &&
            file.ReadAt(report.packageOffset, header, sizeof(header))) {
            report.packageVersion = header[1];
            memcpy(&report.entryCount, &header[2], sizeof(ULONGLONG));
            report.indexSize = header[4];
        }
        HRESULT hr = lister.Extract(path.c_str());
        if (FAILED(hr)) report.packageError = "the index cannot be read to its end (" + HResultText(hr) + ")";
    }
    ReadBlock(path, report);
    return true;
}

std::string CInstallerInspector::FormatText(const CInstallerReport& r) {
    std::string out;
    auto line = [&](const std::string& name, const std::string& value) {
        out += name;
        out.append(name.size() < 26 ? 26 - name.size() : 1, ' ');
        out += value + "\n";
    };
    line("file", WideToUtf8(r.path));
    line("file length", Hex(r.fileLength) + " (" + std::to_string(r.fileLength) + ")");
    line("end of module", Hex(r.endOfModule));
    line("checksum", Hex(r.storedChecksum, 8) + (r.storedChecksum == r.computedChecksum ? " (matches)"
                                                                                       : " (computed " + Hex(r.computedChecksum, 8) + ")"));
    line("certificate table", Hex(r.certificateTableOffset) + ", " + Hex(r.certificateTableSize) + " bytes");
    out += "\n";
    if (r.hasPackage) {
        line("build signature length", Hex(r.buildSignatureLength) + (r.buildSignatureLength ? "" : " (unsigned stub)"));
        line("package offset", Hex(r.packageOffset));
        line("package version", std::to_string(r.packageVersion));
        line("entries", std::to_string(r.entryCount));
        line("index size", Hex(r.indexSize));
        for (const CIndexEntry& e : r.entries) {
            out += "  " + Hex(e.offset, 8) + "  " + Hex(e.size, 8) + "  " + std::to_string(e.type) + " " +
                   EntryTypeName(e.type) + "  " + WideToUtf8(e.name) + "\n";
        }
        if (!r.packageError.empty()) line("package error", r.packageError);
    } else {
        line("package", "none");
    }
    out += "\n";
    if (!r.settingsRead) {
        line("settings", r.settingsError);
        return out;
    }
    line("signed", r.isSigned ? "yes, signature " + Hex(r.signatureLength) + " bytes" : "no");
    if (r.hasBlock) {
        line("placement", r.blockInSignature ? "signature" : "table");
        if (!r.blockInSignature) line("block position", Hex(r.blockPosition));
        line("block length", Hex(r.blockLength));
        line("block version", std::to_string(r.blockVersion));
        if (r.blockVersion >= 1) {
            line("stored size", Hex(r.storedSize));
            line("stored hash", Hex(r.storedHash, 8));
            line("computed hash", Hex(r.computedHash, 8) + (r.computedHash == r.storedHash ? " (matches)" : " (differs)"));
        }
    } else {
        line("block", "none");
    }
    std::string settings;
    if (r.settings && FormatSettingsText(r.settings.Get(), settings)) {
        out += "settings (" + std::to_string(r.settings->GetCount()) + ")\n";
        size_t start = 0;
        while (start < settings.size()) {
            size_t end = settings.find('\n', start);
            out += "  " + settings.substr(start, end - start + 1);
            start = end + 1;
        }
    }
    if (!r.settingsError.empty()) line("settings error", r.settingsError);
    return out;
}

std::string CInstallerInspector::FormatJson(const CInstallerReport& r) {
    try {
        using Json = nlohmann::ordered_json;
        Json out;
        out["file"] = WideToUtf8(r.path);
        out["fileLength"] = r.fileLength;
        out["endOfModule"] = r.endOfModule;
        out["checksum"] = r.storedChecksum;
        out["computedChecksum"] = r.computedChecksum;
        out["certificateTable"] = {{"offset", r.certificateTableOffset}, {"size", r.certificateTableSize}};
        if (r.hasPackage) {
            Json package;
            package["buildSignatureLength"] = r.buildSignatureLength;
            package["offset"] = r.packageOffset;
            package["version"] = r.packageVersion;
            package["count"] = r.entryCount;
            package["indexSize"] = r.indexSize;
            if (!r.packageError.empty()) package["error"] = r.packageError;
            Json entries = Json::array();
            for (const CIndexEntry& e : r.entries) {
                entries.push_back({{"name", WideToUtf8(e.name)}, {"offset", e.offset}, {"size", e.size},
                                   {"type", e.type}, {"kind", EntryTypeName(e.type)}});
            }
            package["entries"] = entries;
            out["package"] = package;
        } else {
            out["package"] = nullptr;
        }
        if (!r.settingsRead) {
            out["settingsError"] = r.settingsError;
            return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        }
        out["signed"] = r.isSigned;
        out["signatureLength"] = r.signatureLength;
        out["placement"] = !r.hasBlock ? Json() : Json(r.blockInSignature ? "signature" : "table");
        if (r.hasBlock) {
            out["block"] = {{"position", r.blockInSignature ? Json() : Json(r.blockPosition)},
                            {"length", r.blockLength},
                            {"version", r.blockVersion},
                            {"storedSize", r.storedSize},
                            {"storedHash", r.storedHash},
                            {"computedHash", r.computedHash}};
        } else {
            out["block"] = nullptr;
        }
        Json settings = Json::object();
        const DWORD count = r.settings ? r.settings->GetCount() : 0;
        for (DWORD i = 0; i < count; ++i) {
            DWORD key = 0;
            std::string value;
            if (r.settings->GetKeyAt(i, &key) && FormatSettingValue(r.settings.Get(), key, value)) {
                settings[std::to_string(key)] = value;
            }
        }
        out["settings"] = settings;
        if (!r.settingsError.empty()) out["settingsError"] = r.settingsError;
        // Names and settings are bytes a user wrote: invalid UTF-8 is shown, not fatal.
        return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    } catch (const std::exception&) {
        return "{}\n";
    }
}

}  // namespace builder
