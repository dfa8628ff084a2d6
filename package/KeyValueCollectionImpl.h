#pragma once
// The key/value collection ("kvc"): values under arbitrary 32-bit keys, iterated in ascending
// key order.
#include <map>

#include "package/ValueCollectionBase.h"

namespace qlLib {

class CKeyValueCollectionImpl : public CValueCollectionBase<IKeyValueCollection> {
public:
    // A new, empty collection (one reference for the caller), or null when out of memory.
    static IKeyValueCollection* Create();
    // The same as a holder.
    static CComPtr<IKeyValueCollection> New();

    bool STDMETHODCALLTYPE Remove(DWORD key) noexcept override;
    bool STDMETHODCALLTYPE GetKeyAt(DWORD position, DWORD* key) noexcept override;

protected:
    const IID& InterfaceId() const override { return IID_IKeyValueCollection; }
    const GUID& ClassId() const override { return CLSID_KeyValueCollection; }
    IKeyValueCollection* CreateEmpty() const override { return Create(); }
    const CValue* Find(DWORD key) const override;
    CValue* FindForSet(DWORD key) override;
    DWORD CountLocked() const override { return static_cast<DWORD>(m_entries.size()); }
    void ClearLocked() override { m_entries.clear(); }
    bool ForEachLocked(CVisit visit, void* context) const override;
    bool StoreLoaded(DWORD key, CValue&& value) override;

private:
    CKeyValueCollectionImpl() = default;
    std::map<DWORD, CValue> m_entries;
};

}  // namespace qlLib
