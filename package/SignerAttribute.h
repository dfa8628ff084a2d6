#pragma once
// The settings block's place inside an Authenticode signature: the value of one unauthenticated
// attribute of the first signer. The signature's hash leaves these attributes out, and the strict
// signature check (which refuses any data behind the signature) accepts them.
// Attribute: SEQUENCE { OBJECT IDENTIFIER kOid, SET { OCTET STRING block } }.
#include <windows.h>

#include <vector>

namespace TARN {

class CSignerAttribute {
public:
    // The project's own identifier, 2.25.<UUID as decimal>: needs no registration.
    static const char kOid[];

    // The attribute's value in a PKCS#7 message (zero padding may follow it). S_OK with the
    // block's bytes; S_FALSE when the message carries no such attribute or its path to the first
    // signer is no DER inside the message; E_INVALIDARG after one trace line when the signer's
    // unauthenticated attributes are malformed, hold ours twice, or ours is not exactly one
    // primitive OCTET STRING; E_OUTOFMEMORY.
    // Not crypt32: Wine's keeps only 32 bits of each identifier arc, so it cannot tell this
    // identifier from others, and it cannot add an attribute to a message either.
    static HRESULT Read(const BYTE* message, DWORD size, std::vector<BYTE>& value);

    // The message with the attribute set to value (replaced, or added after the first signer's
    // other unauthenticated attributes), or taken out when value is null. Only the lengths of the
    // elements that enclose the attribute change; every other byte stays. The path to the
    // attribute must be DER and lie inside the message; false after one trace line otherwise.
    static bool Write(const BYTE* message, DWORD size, const BYTE* value, DWORD valueSize, std::vector<BYTE>& out);
};

}  // namespace TARN
