#include "package/ValueCollection.h"

#include "package/ValueCollectionBase.h"

#include <new>

namespace qlLib {

const IID IID_IMemoryBuffer = {0x7C1F3A20, 0x5B2D, 0x4E8A, {0x9F, 0x31, 0x0A, 0x6B, 0x44, 0x2C, 0x8D, 0x01}};
const IID IID_ISerialize = {0x7C1F3A21, 0x5B2D, 0x4E8A, {0x9F, 0x31, 0x0A, 0x6B, 0x44, 0x2C, 0x8D, 0x01}};
const IID IID_IClone = {0x7C1F3A22, 0x5B2D, 0x4E8A, {0x9F, 0x31, 0x0A, 0x6B, 0x44, 0x2C, 0x8D, 0x01}};
const IID IID_IKeyValueCollection = {0x7C1F3A23, 0x5B2D, 0x4E8A, {0x9F, 0x31, 0x0A, 0x6B, 0x44, 0x2C, 0x8D, 0x01}};
const IID IID_IIndexValueCollection = {0x7C1F3A24, 0x5B2D, 0x4E8A, {0x9F, 0x31, 0x0A, 0x6B, 0x44, 0x2C, 0x8D, 0x01}};
const GUID CLSID_KeyValueCollection = {0x7C1F3A30, 0x5B2D, 0x4E8A, {0x9F, 0x31, 0x0A, 0x6B, 0x44, 0x2C, 0x8D, 0x01}};
const GUID CLSID_IndexValueCollection = {0x7C1F3A31, 0x5B2D, 0x4E8A, {0x9F, 0x31, 0x0A, 0x6B, 0x44, 0x2C, 0x8D, 0x01}};

namespace {

// The copies under way on this thread, innermost first (a list through the guards' frames).
thread_local CCopyInProgress* t_copies = nullptr;

}  // namespace

CCopyInProgress::CCopyInProgress(const void* collection) : m_collection(collection), m_outer(t_copies), m_entered(true) {
    for (const CCopyInProgress* copy = m_outer; copy; copy = copy->m_outer) {
        if (copy->m_collection == collection) {
            m_entered = false;
            return;
        }
    }
    t_copies = this;
}

CCopyInProgress::~CCopyInProgress() {
    if (m_entered) t_copies = m_outer;
}

bool ReadStringAsNarrow(IValueCollection* collection, DWORD key, std::string& value) {
    // The string getter converts a wide value through the thread's ANSI code page and sizes the
    // result itself, so no byte count has to be guessed for double-byte code pages.
    return collection && collection->GetString(key, &value);
}

bool ReadStringAsWide(IValueCollection* collection, DWORD key, std::wstring& value) {
    return collection && collection->GetWString(key, &value);
}

}  // namespace qlLib
