// The PE helper: the header fields of any file, with and without the certificate table bounds
// check; headers that read are patched back (the same table, a fresh checksum) and must name the
// same table afterwards.
#include <string>

#include "fuzz/FuzzDriver.h"
#include "package/PEFileHelper.h"

namespace {

void FuzzPEHelper(const BYTE*, size_t, fuzz::CFuzzContext& context) {
    std::wstring path;
    if (!context.WriteInput(L"in.exe", path)) context.Fail("cannot write the input");
    const bool ignoreBounds = context.Serial() % 2 != 0;
    DWORD table = 0, tableSize = 0;
    {
        qlLib::CFileHandleWrapper file;
        if (!file.Open(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr))
            context.Fail("cannot open the input");
        TARN::CPEFileHelper helper;
        if (!helper.ReadHeaders(file, ignoreBounds)) return;
        table = helper.GetCertificateTableOffset();
        tableSize = helper.GetCertificateTableSize();
        if (!helper.UpdateSecurityDirectoryEntry(file) || !helper.UpdateChecksum(file, path.c_str())) return;
    }
    qlLib::CFileHandleWrapper file;
    TARN::CPEFileHelper again;
    if (!file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr) ||
        !again.ReadHeaders(file, ignoreBounds) || again.GetCertificateTableOffset() != table ||
        again.GetCertificateTableSize() != tableSize)
        context.Fail("patched headers read differently");
}

}  // namespace

MINISTUB_FUZZ_MAIN("pe-helper", FuzzPEHelper)
