#include "package/IndexValueCollectionImpl.h"

namespace qlLib {

namespace {

ISerialize* CreateForArchive() {
    IIndexValueCollection* collection = CIndexValueCollectionImpl::Create();
    if (!collection) return nullptr;
    ISerialize* serialize = nullptr;
    collection->QueryInterface(IID_ISerialize, reinterpret_cast<void**>(&serialize));
    collection->Release();
    return serialize;
}

const bool s_registered = RegisterSerializableClass(CLSID_IndexValueCollection, &CreateForArchive);

}  // namespace

IIndexValueCollection* CIndexValueCollectionImpl::Create() {
    (void)s_registered;
    CIndexValueCollectionImpl* collection = new (std::nothrow) CIndexValueCollectionImpl();
    if (!collection) TraceError(L"qlLib::CIndexValueCollectionImpl::Create(26) : out of memory");
    return collection;
}

CComPtr<IIndexValueCollection> CIndexValueCollectionImpl::New() {
    return CComPtr<IIndexValueCollection>::Adopt(Create());
}

const CValue* CIndexValueCollectionImpl::Find(DWORD position) const {
    return position < m_values.size() ? &m_values[position] : nullptr;
}

CValue* CIndexValueCollectionImpl::FindForSet(DWORD position) {
    // Set replaces an existing position only; Add appends.
    return position < m_values.size() ? &m_values[position] : nullptr;
}

bool CIndexValueCollectionImpl::ForEachLocked(const std::function<bool(DWORD, const CValue&)>& f) const {
    for (size_t i = 0; i < m_values.size(); ++i)
        if (!f(static_cast<DWORD>(i), m_values[i])) return false;
    return true;
}

bool CIndexValueCollectionImpl::StoreLoaded(DWORD position, CValue&& value) {
    // Positions are dense: the next one appends, an earlier one is replaced, anything beyond
    // would make a gap (and is how a damaged file would ask for a huge allocation).
    if (position < m_values.size()) {
        m_values[position] = std::move(value);
        return true;
    }
    if (position != m_values.size()) return false;
    m_values.push_back(std::move(value));
    return true;
}

bool STDMETHODCALLTYPE CIndexValueCollectionImpl::Remove(DWORD position) {
    CCriticalSectionLock lock(m_lock);
    if (position >= m_values.size()) return false;
    m_values.erase(m_values.begin() + position);
    m_modified = true;
    return true;
}

template <class F>
bool CIndexValueCollectionImpl::AddWith(F store) {
    CCriticalSectionLock lock(m_lock);
    try {
        CValue value;
        if (!store(value)) return false;
        m_values.push_back(std::move(value));
        m_modified = true;
        return true;
    } catch (const std::bad_alloc&) {
        TraceError(L"qlLib::CIndexValueCollectionImpl::AddWith(78) : out of memory");
        return false;
    }
}

bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddObj(IUnknown* value) {
    return AddWith([&](CValue& v) { return v.SetObject(value, m_clone); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddVariant(const VARIANT* value) {
    return value && AddWith([&](CValue& v) { return v.SetVariant(*value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddMemory(const void* data, DWORD length) {
    return AddWith([&](CValue& v) { return v.SetMemory(data, length); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddWString(const wchar_t* value) {
    return AddWith([&](CValue& v) { return v.SetWString(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddString(const char* value) {
    return AddWith([&](CValue& v) { return v.SetString(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddOpaque16(const CValue16* value) {
    return value && AddWith([&](CValue& v) { return v.SetOpaque16(*value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddGuid(const GUID* value) {
    return value && AddWith([&](CValue& v) { return v.SetGuid(*value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddDouble(double value) {
    return AddWith([&](CValue& v) { return v.SetDouble(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddUInt64(ULONGLONG value) {
    return AddWith([&](CValue& v) { return v.SetUInt64(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddInt64(LONGLONG value) {
    return AddWith([&](CValue& v) { return v.SetInt64(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddDword(DWORD value) {
    return AddWith([&](CValue& v) { return v.SetDword(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddLong(LONG value) {
    return AddWith([&](CValue& v) { return v.SetLong(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddWord(WORD value) {
    return AddWith([&](CValue& v) { return v.SetWord(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddShort(SHORT value) {
    return AddWith([&](CValue& v) { return v.SetInt16(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddByte(BYTE value) {
    return AddWith([&](CValue& v) { return v.SetByte(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddChar(signed char value) {
    return AddWith([&](CValue& v) { return v.SetInt8(value); });
}
bool STDMETHODCALLTYPE CIndexValueCollectionImpl::AddBool(bool value) {
    return AddWith([&](CValue& v) { return v.SetBool(value); });
}

}  // namespace qlLib
