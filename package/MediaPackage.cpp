#include "package/MediaPackage.h"

#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "package/FileDataExtender.h"
#include "package/FileHandleWrapper.h"
#include "package/PEFileHelper.h"
#include "runtime/AdminToken.h"
#include "runtime/NoLinkFile.h"
#include "runtime/PathUtils.h"
#include "runtime/Trace.h"

namespace TARN {

namespace {

const HRESULT kNotUsable = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const DWORD kCompareChunk = 0x10000;

// The system's signature verifier and certificate decoder. Neither is a KnownDLL: both come from
// the system folder by full path, once, and stay loaded for the process.
struct CTrustApi {
    decltype(&::WinVerifyTrust) verify = nullptr;
    decltype(&::WTHelperProvDataFromStateData) providerData = nullptr;
    decltype(&::WTHelperGetProvSignerFromChain) signer = nullptr;
    decltype(&::WTHelperGetProvCertFromChain) chainCertificate = nullptr;
    decltype(&::CryptQueryObject) queryObject = nullptr;
    decltype(&::CryptMsgGetParam) messageParameter = nullptr;
    decltype(&::CertGetSubjectCertificateFromStore) subjectCertificate = nullptr;
    decltype(&::CertFreeCertificateContext) freeCertificate = nullptr;
    decltype(&::CryptMsgClose) closeMessage = nullptr;
    decltype(&::CertCloseStore) closeStore = nullptr;

    static const CTrustApi* Get() {
        static CTrustApi api;
        static const bool loaded = api.Load();
        return loaded ? &api : nullptr;
    }

private:
    template <class F>
    static bool Resolve(HMODULE module, const char* name, F& function) {
        function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
        return function != nullptr;
    }
    bool Load() {
        HMODULE wintrust = qlLib::LoadSystemLibrary(L"wintrust.dll");
        HMODULE crypt32 = qlLib::LoadSystemLibrary(L"crypt32.dll");
        return wintrust && crypt32 && Resolve(wintrust, "WinVerifyTrust", verify) &&
               Resolve(wintrust, "WTHelperProvDataFromStateData", providerData) &&
               Resolve(wintrust, "WTHelperGetProvSignerFromChain", signer) &&
               Resolve(wintrust, "WTHelperGetProvCertFromChain", chainCertificate) &&
               Resolve(crypt32, "CryptQueryObject", queryObject) &&
               Resolve(crypt32, "CryptMsgGetParam", messageParameter) &&
               Resolve(crypt32, "CertGetSubjectCertificateFromStore", subjectCertificate) &&
               Resolve(crypt32, "CertFreeCertificateContext", freeCertificate) &&
               Resolve(crypt32, "CryptMsgClose", closeMessage) && Resolve(crypt32, "CertCloseStore", closeStore);
    }
};

struct CCertStoreTraits {
    using Type = HCERTSTORE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CTrustApi::Get()->closeStore(h, 0); }
};
struct CCryptMessageTraits {
    using Type = HCRYPTMSG;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CTrustApi::Get()->closeMessage(h); }
};
struct CCertificateTraits {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CTrustApi::Get()->freeCertificate(h); }
};
using CCertStore = qlLib::CUniqueHandle<CCertStoreTraits>;
using CCryptMessage = qlLib::CUniqueHandle<CCryptMessageTraits>;
using CCertificate = qlLib::CUniqueHandle<CCertificateTraits>;

enum ESignature { eSignature_None, eSignature_Read, eSignature_Unreadable };

// What the first record of a file's certificate table is: none (no table, or the settings block
// alone, which is all an unsigned installer carries there), a signature (where its PKCS#7 message
// lies), or anything else. Only a well-formed signature record is handed to the system: Wine's
// verifier crashes on a table that begins with a record of another type.
enum ERecord { eRecord_None, eRecord_Signature, eRecord_Other };
ERecord FirstRecord(qlLib::CFileHandleWrapper& file, DWORD& message, DWORD& messageSize) {
    CPEFileHelper headers;
    if (!headers.ReadHeaders(file, false)) return eRecord_Other;
    const DWORD table = headers.GetCertificateTableOffset(), tableSize = headers.GetCertificateTableSize();
    if (table == 0 || tableSize == 0) return eRecord_None;
    const DWORD recordHeader = offsetof(WIN_CERTIFICATE, bCertificate);
    BYTE header[recordHeader];
    if (tableSize < recordHeader || !file.ReadAt(table, header, recordHeader)) return eRecord_Other;
    if (CFileDataExtender::IsBlockMagic(header + sizeof(DWORD))) return eRecord_None;
    WIN_CERTIFICATE record = {};
    memcpy(&record, header, recordHeader);
    if (record.wRevision != WIN_CERT_REVISION_2_0 || record.wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA ||
        record.dwLength <= recordHeader || record.dwLength > tableSize)
        return eRecord_Other;
    message = table + recordHeader;
    messageSize = record.dwLength - recordHeader;
    return eRecord_Signature;
}

// The encoded certificate of the first signer of the installer's own signature, read from its
// held file: from the PKCS#7 message alone, as the system's verifier is asked about the media
// only. Anything in the table but a settings block is taken for a signature: one that cannot be
// read keeps every media out rather than none.
ESignature ReadOwnSigner(qlLib::CFileHandleWrapper& file, std::vector<BYTE>& certificate) {
    DWORD at = 0, size = 0;
    const ERecord first = FirstRecord(file, at, size);
    if (first == eRecord_None) return eSignature_None;
    if (first != eRecord_Signature) return eSignature_Unreadable;
    const CTrustApi* api = CTrustApi::Get();
    if (!api) return eSignature_Unreadable;
    try {
        std::vector<BYTE> message(size);
        if (!file.ReadAt(at, message.data(), size)) return eSignature_Unreadable;
        CERT_BLOB blob = {static_cast<DWORD>(message.size()), message.data()};
        CCertStore store;
        CCryptMessage decoded;
        if (!api->queryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                              CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.Receive(),
                              decoded.Receive(), nullptr))
            return eSignature_Unreadable;
        DWORD infoSize = 0;
        if (!api->messageParameter(decoded.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &infoSize) || infoSize == 0)
            return eSignature_Unreadable;
        std::vector<BYTE> signerInfo(infoSize);
        if (!api->messageParameter(decoded.Get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, signerInfo.data(), &infoSize))
            return eSignature_Unreadable;
        CCertificate signer(api->subjectCertificate(store.Get(), kEncoding, reinterpret_cast<PCERT_INFO>(signerInfo.data())));
        if (!signer) return eSignature_Unreadable;
        certificate.assign(signer.Get()->pbCertEncoded, signer.Get()->pbCertEncoded + signer.Get()->cbCertEncoded);
        return eSignature_Read;
    } catch (const std::bad_alloc&) {
        return eSignature_Unreadable;
    }
}

// Answers of the verifier under which the file's digest and its signer's signature over it have
// held, and only the way to a trusted root has not. That is all asked of it here: the signer
// must then be the installer's own certificate byte for byte, which says more about who signed
// than any root would. A self-signed or privately issued certificate ends at an untrusted root,
// and a missing intermediate (only cached ones are fetched) at an incomplete chain. A changed
// byte, no signature, a malformed one, a signature that does not verify, and a certificate that
// is expired, revoked, distrusted or not for code signing never count.
bool IsIntactSignature(LONG answer, const CRYPT_PROVIDER_DATA* provider) {
    if (answer != ERROR_SUCCESS && answer != CERT_E_UNTRUSTEDROOT && answer != CERT_E_CHAINING) return false;
    // The steps that check the digest and the signature say so themselves.
    return provider && provider->padwTrustStepErrors && provider->cdwTrustStepErrors > TRUSTERROR_STEP_FINAL_SIGPROV &&
           provider->padwTrustStepErrors[TRUSTERROR_STEP_FINAL_OBJPROV] == ERROR_SUCCESS &&
           provider->padwTrustStepErrors[TRUSTERROR_STEP_FINAL_SIGPROV] == ERROR_SUCCESS;
}

// Whether the open file carries a signature that holds, by the signer whose certificate is given.
bool IsSignedBy(qlLib::CFileHandleWrapper& media, const std::wstring& path, const std::vector<BYTE>& certificate,
                LONG& answer) {
    DWORD at = 0, size = 0;
    answer = TRUST_E_NOSIGNATURE;
    const CTrustApi* api = CTrustApi::Get();
    if (!api || FirstRecord(media, at, size) != eRecord_Signature) return false;
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = media.Handle();   // the bytes judged are those of the handle the run keeps
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // Nothing is fetched from the network while an install waits.
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
    answer = api->verify(noWindow, &action, &data);
    bool same = false;
    CRYPT_PROVIDER_DATA* provider = data.hWVTStateData ? api->providerData(data.hWVTStateData) : nullptr;
    if (IsIntactSignature(answer, provider)) {
        CRYPT_PROVIDER_SGNR* signer = api->signer(provider, 0, FALSE, 0);
        CRYPT_PROVIDER_CERT* leaf = signer ? api->chainCertificate(signer, 0) : nullptr;
        same = leaf && leaf->pCert && leaf->pCert->cbCertEncoded == certificate.size() &&
               memcmp(leaf->pCert->pbCertEncoded, certificate.data(), certificate.size()) == 0;
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    api->verify(noWindow, &action, &data);
    return same;
}

// Whether the open media holds the installer's own bytes up to its certificate table: the image
// and build signature that become the cached stub, and the package. Only the checksum and the
// security directory entry may differ; the unpacker writes both anew.
bool HoldsOwnPackage(qlLib::CFileHandleWrapper& media, qlLib::CFileHandleWrapper& own) {
    CPEFileHelper headers;
    if (!headers.ReadHeaders(own, false) || headers.GetCertificateTableOffset() == 0) return false;
    const DWORD end = headers.GetCertificateTableOffset();
    ULONGLONG mediaLength = 0;
    if (!media.GetLength(&mediaLength) || mediaLength < end) return false;
    const struct {
        DWORD offset, size;
    } rewritten[] = {{headers.GetChecksumOffset(), headers.GetChecksumSize()},
                     {headers.GetSecurityEntryOffset(), headers.GetSecurityEntrySize()}};
    try {
        std::vector<BYTE> ours(kCompareChunk), theirs(kCompareChunk);
        for (DWORD at = 0; at < end;) {
            const DWORD chunk = end - at < kCompareChunk ? end - at : kCompareChunk;
            if (!own.ReadAt(at, ours.data(), chunk) || !media.ReadAt(at, theirs.data(), chunk)) return false;
            for (const auto& field : rewritten) {
                for (DWORD i = field.offset; i < field.offset + field.size; ++i) {
                    if (i >= at && i < at + chunk) ours[i - at] = theirs[i - at] = 0;
                }
            }
            if (memcmp(ours.data(), theirs.data(), chunk) != 0) return false;
            at += chunk;
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace

HRESULT CMediaPackage::Accept(const std::wstring& media, const std::wstring& installerPath,
                              CInstallerFile& installer) {
    if (m_accepted && qlLib::SamePath(media, m_path)) return S_OK;
    m_accepted = false;
    m_file.Close();
    m_installerFile = nullptr;
    try {
        m_path = media;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (qlLib::SamePath(media, installerPath)) {
        // What lies at the installer's path now may not be what was started.
        if (FAILED(installer.Readable(media))) return kNotUsable;
        if (installer.IsHeld()) m_installerFile = installer.File().Handle();
        m_accepted = true;
        return S_OK;
    }
    if (qlLib::ProcessTokenKind() == qlLib::eToken_User) {
        m_accepted = true;
        return S_OK;
    }
    // The installer's signer and package are read from its own file alone.
    if (!installer.IsHeld()) {
        TraceError(L"TARN::CMediaPackage::Accept : %s is not the file this installer runs from (%lu): %s not used",
                   installerPath.c_str(), installer.Error(), media.c_str());
        return kNotUsable;
    }
    std::vector<BYTE> ownSigner;
    const ESignature own = ReadOwnSigner(installer.File(), ownSigner);
    if (own == eSignature_None) {
        m_accepted = true;
        return S_OK;
    }
    if (own == eSignature_Unreadable) {
        TraceError(L"TARN::CMediaPackage::Accept : this installer's own signature cannot be read: %s not used",
                   media.c_str());
        return kNotUsable;
    }
    // Nobody may change or replace the file while the run may still read it.
    const bool opened = m_file.Open(media.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!opened || ::GetFileType(m_file.Handle()) != FILE_TYPE_DISK) {
        TraceError(L"TARN::CMediaPackage::Accept : %s cannot be opened as a file of its own (%lu): not used",
                   media.c_str(), opened ? static_cast<DWORD>(ERROR_BAD_FILE_TYPE) : m_file.GetLastError());
        m_file.Close();
        return kNotUsable;
    }
    LONG answer = 0;
    if (IsSignedBy(m_file, media, ownSigner, answer)) {
        TraceInfo(L"media %s: signed by this installer's signer", media.c_str());
    } else if (HoldsOwnPackage(m_file, installer.File())) {
        TraceInfo(L"media %s: holds this installer's own package", media.c_str());
    } else {
        TraceError(L"TARN::CMediaPackage::Accept : %s is neither signed by this installer's signer (0x%08lx) nor "
                   L"holds its package: not used",
                   media.c_str(), static_cast<unsigned long>(answer));
        m_file.Close();
        return kNotUsable;
    }
    m_accepted = true;
    return S_OK;
}

HRESULT CMediaPackage::Extract(CInstallUnpacker& unpacker, qlLib::IKeyValueCollection* streams,
                               const std::wstring& folder) {
    if (!m_accepted) return kNotUsable;
    const HANDLE judged = m_file.IsOpen() ? m_file.Handle() : m_installerFile;
    if (judged && !unpacker.RequireFile(judged)) {
        TraceError(L"TARN::CMediaPackage::Extract : %s cannot be told apart from other files: not used", m_path.c_str());
        return kNotUsable;
    }
    return unpacker.ExtractPackage(streams, folder.c_str(), m_path.c_str());
}

}  // namespace TARN
