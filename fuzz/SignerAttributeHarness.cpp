// The signer attribute reader and writer on PKCS#7 messages. A value read must write back and
// read again unchanged; a value written must read back; a removal must leave none.
#include <vector>

#include "fuzz/FuzzDriver.h"
#include "package/SignerAttribute.h"

namespace {

using TARN::CSignerAttribute;

void FuzzSignerAttribute(const BYTE* data, size_t size, fuzz::CFuzzContext& context) {
    const DWORD length = static_cast<DWORD>(size);
    std::vector<BYTE> value, out, back;
    const HRESULT read = CSignerAttribute::Read(data, length, value);
    if (read == S_OK) {
        if (!CSignerAttribute::Write(data, length, value.data(), static_cast<DWORD>(value.size()), out) ||
            CSignerAttribute::Read(out.data(), static_cast<DWORD>(out.size()), back) != S_OK || back != value)
            context.Fail("a value read did not write back unchanged");
    }
    static const BYTE kValue[] = {'b', 'p', 'A', 'P', 1, 2, 3};
    if (CSignerAttribute::Write(data, length, kValue, sizeof(kValue), out)) {
        if (CSignerAttribute::Read(out.data(), static_cast<DWORD>(out.size()), back) != S_OK ||
            back != std::vector<BYTE>(kValue, kValue + sizeof(kValue)))
            context.Fail("a value written did not read back");
    }
    if (read != E_INVALIDARG && CSignerAttribute::Write(data, length, nullptr, 0, out)) {
        if (CSignerAttribute::Read(out.data(), static_cast<DWORD>(out.size()), back) != S_FALSE)
            context.Fail("a removed value is still there");
    }
}

}  // namespace

MINISTUB_FUZZ_MAIN("signer-attribute", FuzzSignerAttribute)
