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

    bool STDMETHODCALLTYPE Remove(DWORD position) noexcept override;

    bool STDMETHODCALLTYPE AddObj(IUnknown* value) noexcept override;
    bool STDMETHODCALLTYPE AddVariant(const VARIANT* value) noexcept override;
    bool STDMETHODCALLTYPE AddMemory(const void* data, DWORD length) noexcept override;
    bool STDMETHODCALLTYPE AddWString(const wchar_t* value) noexcept override;
    bool STDMETHODCALLTYPE AddString(const char* value) noexcept override;
    bool STDMETHODCALLTYPE AddOpaque16(const CValue16* value) noexcept override;
    bool STDMETHODCALLTYPE AddGuid(const GUID* value) noexcept override;
    bool STDMETHODCALLTYPE AddDouble(double value) noexcept override;
    bool STDMETHODCALLTYPE AddUInt64(ULONGLONG value) noexcept override;
    bool STDMETHODCALLTYPE AddInt64(LONGLONG value) noexcept override;
    bool STDMETHODCALLTYPE AddDword(DWORD value) noexcept override;
    bool STDMETHODCALLTYPE AddLong(LONG value) noexcept override;
    bool STDMETHODCALLTYPE AddWord(WORD value) noexcept override;
    bool STDMETHODCALLTYPE AddShort(SHORT value) noexcept override;
    bool STDMETHODCALLTYPE AddByte(BYTE value) noexcept override;
    bool STDMETHODCALLTYPE AddChar(signed char value) noexcept override;
    bool STDMETHODCALLTYPE AddBool(bool value) noexcept override;

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
