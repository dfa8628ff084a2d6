#pragma once
// The index/value collection: values at dense positions 0..count-1. Add appends; Remove moves
// every later value down by one.
#include <vector>

#include "package/ValueCollectionBase.h"

namespace qlLib {

class CIndexValueCollectionImpl : public CValueCollectionBase<IIndexValueCollection> {
public:
    static IIndexValueCollection* Create();
    static CComPtr<IIndexValueCollection> New();

    bool STDMETHODCALLTYPE Remove(DWORD position) override;

    bool STDMETHODCALLTYPE AddObj(IUnknown* value) override;
    bool STDMETHODCALLTYPE AddVariant(const VARIANT* value) override;
    bool STDMETHODCALLTYPE AddMemory(const void* data, DWORD length) override;
    bool STDMETHODCALLTYPE AddWString(const wchar_t* value) override;
    bool STDMETHODCALLTYPE AddString(const char* value) override;
    bool STDMETHODCALLTYPE AddOpaque16(const CValue16* value) override;
    bool STDMETHODCALLTYPE AddGuid(const GUID* value) override;
    bool STDMETHODCALLTYPE AddDouble(double value) override;
    bool STDMETHODCALLTYPE AddUInt64(ULONGLONG value) override;
    bool STDMETHODCALLTYPE AddInt64(LONGLONG value) override;
    bool STDMETHODCALLTYPE AddDword(DWORD value) override;
    bool STDMETHODCALLTYPE AddLong(LONG value) override;
    bool STDMETHODCALLTYPE AddWord(WORD value) override;
    bool STDMETHODCALLTYPE AddShort(SHORT value) override;
    bool STDMETHODCALLTYPE AddByte(BYTE value) override;
    bool STDMETHODCALLTYPE AddChar(signed char value) override;
    bool STDMETHODCALLTYPE AddBool(bool value) override;

protected:
    const IID& InterfaceId() const override { return IID_IIndexValueCollection; }
    const GUID& ClassId() const override { return CLSID_IndexValueCollection; }
    IIndexValueCollection* CreateEmpty() const override { return Create(); }
    const CValue* Find(DWORD position) const override;
    CValue* FindForSet(DWORD position) override;
    DWORD CountLocked() const override { return static_cast<DWORD>(m_values.size()); }
    void ClearLocked() override { m_values.clear(); }
    bool ForEachLocked(CVisit visit, void* context) const override;
    bool StoreLoaded(DWORD position, CValue&& value) override;

private:
    CIndexValueCollectionImpl() = default;
    bool AddWith(CStore store, const void* in) noexcept;

    std::vector<CValue> m_values;
};

}  // namespace qlLib
