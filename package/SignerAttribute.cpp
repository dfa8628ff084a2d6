#include "package/SignerAttribute.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "runtime/Trace.h"

namespace TARN {

// UUID 207dfcf5-6866-4922-a5e8-0d6f214382be.
const char CSignerAttribute::kOid[] = "2.25.43189463582864194429115630390943646398";

namespace {

// kOid as a DER element, and its content octets.
const BYTE kOidElement[] = {0x06, 0x13, 0x69, 0xC0, 0xFD, 0xFE, 0xBD, 0xAD, 0x86, 0xB2, 0xA4,
                            0xC5, 0xA5, 0xF4, 0x83, 0xAD, 0xF2, 0x8A, 0x8E, 0x85, 0x3E};
const BYTE* const kOidBytes = kOidElement + 2;
const DWORD kOidSize = sizeof kOidElement - 2;
// 1.2.840.113549.1.7.2, PKCS#7 signed data.
const BYTE kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const BYTE kTagOctetString = 0x04, kTagOid = 0x06, kTagSequence = 0x30, kTagSet = 0x31;
const BYTE kTagContext0 = 0xA0, kTagContext1 = 0xA1;
// A value this large is no settings block; it keeps every length below far from overflowing.
const DWORD kMaxValue = 0x1000000;

// One element: tag at start, content from content to end.
struct CElement {
    DWORD start, content, end;
    BYTE tag;
};

// The element at pos, which must lie inside [pos, limit): a one-byte tag and a definite length of
// at most four bytes.
bool ReadElement(const BYTE* der, DWORD pos, DWORD limit, CElement& element) {
    if (pos > limit || limit - pos < 2 || (der[pos] & 0x1F) == 0x1F) return false;
    DWORD p = pos + 1;
    DWORD length = der[p++];
    if (length & 0x80) {
        DWORD count = length & 0x7F;
        if (count == 0 || count > 4 || limit - p < count) return false;   // 0: indefinite (BER)
        for (length = 0; count; --count) length = (length << 8) | der[p++];
    }
    if (limit - p < length) return false;
    element = CElement{pos, p, p + length, der[pos]};
    return true;
}

// The first element inside parent, or the one after previous; false at the end or when malformed.
bool NextChild(const BYTE* der, const CElement& parent, const CElement* previous, CElement& child) {
    const DWORD pos = previous ? previous->end : parent.content;
    return pos < parent.end && ReadElement(der, pos, parent.end, child);
}

// The last element inside parent; false when it has none or any of them is malformed.
bool LastChild(const BYTE* der, const CElement& parent, CElement& last) {
    CElement child;
    bool any = false;
    for (const CElement* previous = nullptr; NextChild(der, parent, previous, child); previous = &last) {
        last = child;
        any = true;
    }
    return any && last.end == parent.end;
}

// A DER header for length into header (6 bytes at most); its size.
DWORD EncodeHeader(BYTE* header, BYTE tag, DWORD length) {
    DWORD size = 0;
    header[size++] = tag;
    if (length < 0x80) {
        header[size++] = static_cast<BYTE>(length);
        return size;
    }
    BYTE count = 0;
    for (DWORD rest = length; rest; rest >>= 8) ++count;
    header[size++] = static_cast<BYTE>(0x80 | count);
    while (count--) header[size++] = static_cast<BYTE>(length >> (8 * count));
    return size;
}

DWORD HeaderSize(DWORD length) {
    BYTE header[6];
    return EncodeHeader(header, 0, length);
}

void Put(std::vector<BYTE>& out, const BYTE* bytes, DWORD size) {
    if (size) out.insert(out.end(), bytes, bytes + size);
}

bool IsOurAttribute(const BYTE* der, const CElement& attribute) {
    CElement oid;
    return attribute.tag == kTagSequence && NextChild(der, attribute, nullptr, oid) && oid.tag == kTagOid &&
           oid.end - oid.content == kOidSize && std::memcmp(der + oid.content, kOidBytes, kOidSize) == 0;
}

// Where the attribute is, or would go, in a message.
struct CLocation {
    CElement chain[6];   // ContentInfo, [0], SignedData, signer infos, first signer, its [1]
    bool sound = false;              // the path down to the first signer is DER inside the message
    bool attributesSound = false;    // and so is every unauthenticated attribute
    bool hasUnauthenticated = false;
    bool found = false;
    bool duplicated = false;
    size_t others = 0;
    CElement ours = {};
};

// ContentInfo { signedData, [0] { SignedData { ..., signerInfos SET { SignerInfo, ... } } } };
// SignerInfo { ..., encryptedDigest, [1] unauthenticated attributes OPTIONAL }.
CLocation Locate(const BYTE* der, DWORD size) {
    CLocation at = {};
    CElement* chain = at.chain;
    CElement oid = {}, last = {};
    at.sound = der && ReadElement(der, 0, size, chain[0]) && chain[0].tag == kTagSequence &&
               NextChild(der, chain[0], nullptr, oid) && oid.tag == kTagOid &&
               oid.end - oid.content == sizeof kSignedDataOid &&
               std::memcmp(der + oid.content, kSignedDataOid, sizeof kSignedDataOid) == 0 &&
               NextChild(der, chain[0], &oid, chain[1]) && chain[1].tag == kTagContext0 &&
               NextChild(der, chain[1], nullptr, chain[2]) && chain[2].tag == kTagSequence &&
               LastChild(der, chain[2], chain[3]) && chain[3].tag == kTagSet &&
               NextChild(der, chain[3], nullptr, chain[4]) && chain[4].tag == kTagSequence &&
               LastChild(der, chain[4], last);
    if (!at.sound) return at;
    at.hasUnauthenticated = last.tag == kTagContext1;
    chain[5] = last;
    at.attributesSound = true;
    if (!at.hasUnauthenticated) return at;
    CElement attribute = {};
    DWORD reached = chain[5].content;
    for (const CElement* previous = nullptr; NextChild(der, chain[5], previous, attribute); previous = &last) {
        last = attribute;
        reached = attribute.end;
        if (!IsOurAttribute(der, attribute)) {
            ++at.others;
        } else {
            at.duplicated = at.found;
            at.found = true;
            at.ours = attribute;
        }
    }
    at.attributesSound = reached == chain[5].end;
    return at;
}

}  // namespace

HRESULT CSignerAttribute::Read(const BYTE* message, DWORD size, std::vector<BYTE>& value) {
    const CLocation at = Locate(message, size);
    // A signature this reader cannot follow carries no attribute of ours; a block behind it may.
    if (!at.sound) return S_FALSE;
    // Other tools' attributes in a form this reader does not take (BER) do not stop the run:
    // malformed ones count only when our identifier is among them.
    const BYTE* end = message + at.chain[5].end;
    if (!at.attributesSound &&
        std::search(message + at.chain[5].content, end, kOidBytes, kOidBytes + kOidSize) == end)
        return S_FALSE;
    if (!at.attributesSound || at.duplicated) {
        TraceError(L"TARN::CSignerAttribute::Read(135) : the signer's attributes are malformed or hold the settings twice");
        return E_INVALIDARG;
    }
    if (!at.found) return S_FALSE;
    // SEQUENCE { OID, SET { OCTET STRING } } and nothing more: one value, primitive (not nested),
    // of definite length, filling its set.
    CElement oid, values, octets;
    if (!NextChild(message, at.ours, nullptr, oid) || !NextChild(message, at.ours, &oid, values) ||
        values.end != at.ours.end || values.tag != kTagSet || !NextChild(message, values, nullptr, octets) ||
        octets.tag != kTagOctetString || octets.end != values.end || octets.end - octets.content > kMaxValue) {
        TraceError(L"TARN::CSignerAttribute::Read(146) : the settings attribute is not one octet string (%lu bytes)",
                   at.ours.end - at.ours.start);
        return E_INVALIDARG;
    }
    try {
        value.assign(message + octets.content, message + octets.end);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

bool CSignerAttribute::Write(const BYTE* message, DWORD size, const BYTE* value, DWORD valueSize,
                             std::vector<BYTE>& out) {
    const CLocation at = Locate(message, size);
    // Far below 4 GiB both: no length of the result can overflow.
    if (!at.attributesSound || at.duplicated || size > 0x7FFFFFFF || (value && valueSize > kMaxValue)) {
        TraceError(L"TARN::CSignerAttribute::Write(162) : the signature cannot take the settings attribute");
        return false;
    }
    // The elements from the outside in: each keeps its bytes before and after the one it holds.
    struct CLevel {
        BYTE tag;
        const BYTE* head;
        DWORD headSize;
        const BYTE* tail;
        DWORD tailSize;
        DWORD length;
    } levels[10];
    // How deep the message's own elements go, and what of the innermost is replaced.
    DWORD depth = 6, from = at.ours.start, to = at.ours.end;   // the attribute itself
    if (!at.found) {
        if (!value) {
            out.assign(message, message + at.chain[0].end);
            return true;
        }
        depth = at.hasUnauthenticated ? 6 : 5;   // added at the end of the set, or of the signer
        from = to = at.chain[depth - 1].end;
    } else if (!value && !at.others) {
        depth = 5;   // it was the only one: the attribute set goes with it
        from = at.chain[5].start;
        to = at.chain[5].end;
    }
    DWORD count = 0;
    for (; count < depth; ++count) {
        const CElement& element = at.chain[count];
        const DWORD childStart = count + 1 < depth ? at.chain[count + 1].start : from;
        const DWORD childEnd = count + 1 < depth ? at.chain[count + 1].end : to;
        levels[count] = {element.tag, message + element.content, childStart - element.content, message + childEnd,
                         element.end - childEnd, 0};
    }
    if (value) {
        if (depth == 5 && !at.found) levels[count++] = {kTagContext1, nullptr, 0, nullptr, 0, 0};
        levels[count++] = {kTagSequence, kOidElement, sizeof kOidElement, nullptr, 0, 0};
        levels[count++] = {kTagSet, nullptr, 0, nullptr, 0, 0};
        levels[count++] = {kTagOctetString, nullptr, 0, nullptr, 0, 0};
    }
    DWORD length = value ? valueSize : 0;
    for (DWORD i = count; i--;) {
        levels[i].length = levels[i].headSize + length + levels[i].tailSize;
        length = levels[i].length + HeaderSize(levels[i].length);
    }
    try {
        out.clear();
        out.reserve(length);
        for (DWORD i = 0; i < count; ++i) {
            BYTE header[6];
            Put(out, header, EncodeHeader(header, levels[i].tag, levels[i].length));
            Put(out, levels[i].head, levels[i].headSize);
        }
        if (value) Put(out, value, valueSize);
        for (DWORD i = count; i--;) Put(out, levels[i].tail, levels[i].tailSize);
    } catch (const std::bad_alloc&) {
        TraceError(L"TARN::CSignerAttribute::Write(219) : out of memory");
        return false;
    }
    return true;
}

}  // namespace TARN
