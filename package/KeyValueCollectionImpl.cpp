#include "package/KeyValueCollectionImpl.h"

namespace qlLib {

namespace {

ISerialize* CreateForArchive() {
    IKeyValueCollection* collection = CKeyValueCollectionImpl::Create();
    if (!collection) return nullptr;
    ISerialize* serialize = nullptr;
    collection->QueryInterface(IID_ISerialize, reinterpret_cast<void**>(&serialize));
    collection->Release();
    return serialize;
}

// Collections stored as object values load back through their class id.
const bool s_registered = RegisterSerializableClass(CLSID_KeyValueCollection, &CreateForArchive);

}  // namespace

IKeyValueCollection* CKeyValueCollectionImpl::Create() {
    (void)s_registered;
    CKeyValueCollectionImpl* collection = new (std::nothrow) CKeyValueCollectionImpl();
    if (!collection) TraceError(L"qlLib::CKeyValueCollectionImpl::Create(27) : out of memory");
    return collection;
}

CComPtr<IKeyValueCollection> CKeyValueCollectionImpl::New() {
    return CComPtr<IKeyValueCollection>::Adopt(Create());
}

const CValue* CKeyValueCollectionImpl::Find(DWORD key) const {
    auto it = m_entries.find(key);
    return it == m_entries.end() ? nullptr : &it->second;
}

CValue* CKeyValueCollectionImpl::FindForSet(DWORD key) {
    return &m_entries[key];
}

bool CKeyValueCollectionImpl::ForEachLocked(CVisit visit, void* context) const {
    for (const auto& entry : m_entries)
        if (!visit(entry.first, entry.second, context)) return false;
    return true;
}

bool CKeyValueCollectionImpl::StoreLoaded(DWORD key, CValue&& value) {
    m_entries[key] = std::move(value);   // a key that occurs twice keeps the later value
    return true;
}

bool STDMETHODCALLTYPE CKeyValueCollectionImpl::Remove(DWORD key) noexcept {
    CCriticalSectionLock lock(m_lock);
    if (m_entries.erase(key) == 0) return false;
    m_modified = true;
    return true;
}

bool STDMETHODCALLTYPE CKeyValueCollectionImpl::GetKeyAt(DWORD position, DWORD* key) noexcept {
    if (!key) return false;
    CCriticalSectionLock lock(m_lock);
    if (position >= m_entries.size()) return false;
    auto it = m_entries.begin();
    std::advance(it, position);
    *key = it->first;
    return true;
}

}  // namespace qlLib
