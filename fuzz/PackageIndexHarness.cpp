// The package reader: finds the package behind the image, reads its index and hands out each
// entry in the way the unpacker asks for (the modes vary from input to input), and each entry is
// read to its end.
#include <algorithm>
#include <string>

#include "fuzz/FuzzDriver.h"
#include "package/FilePacker.h"

namespace {

class CReadEveryEntry : public TARN::CFilePacker {
public:
    explicit CReadEveryEntry(unsigned long long serial) : m_serial(serial) {}

    DWORD GetExtractMode(DWORD type) override {
        static const DWORD modes[] = {TARN::eExtract_InPlace, TARN::eExtract_OwnStream, TARN::eExtract_SharedWindow,
                                      TARN::eExtract_Skip};
        return modes[(type + m_serial) % 4];
    }

    HRESULT OnExtractStream(DWORD, qlLib::IDataStream* stream, const wchar_t*, ULONGLONG size) override {
        BYTE buffer[16384];
        ULONGLONG left = std::min<ULONGLONG>(size, 64ull << 20);
        while (left > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<ULONGLONG>(left, sizeof(buffer)));
            if (!stream->Read(buffer, chunk)) break;
            left -= chunk;
        }
        return S_OK;
    }

private:
    unsigned long long m_serial;
};

void FuzzPackageIndex(const BYTE*, size_t, fuzz::CFuzzContext& context) {
    std::wstring path;
    if (!context.WriteInput(L"in.exe", path)) context.Fail("cannot write the input");
    CReadEveryEntry reader(context.Serial());
    if (reader.ContainsPackage(path.c_str())) reader.Extract(path.c_str());
    context.CheckNothingEscaped({L"in.exe"});
}

}  // namespace

MINISTUB_FUZZ_MAIN("package-index", FuzzPackageIndex)
