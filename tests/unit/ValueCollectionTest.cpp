#include <gtest/gtest.h>

#include <process.h>

#include <cstring>

#include "package/IndexValueCollectionImpl.h"
#include "package/KeyValueCollectionImpl.h"
#include "package/MemoryBuffer.h"

using namespace qlLib;

TEST(ValueCollection, DwordConversions) {
    auto c = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(c->SetDword(1, 0xFFFFFFFEu));
    LONG l = 0;
    ASSERT_TRUE(c->GetLong(1, &l));
    EXPECT_EQ(static_cast<DWORD>(l), 0xFFFFFFFEu);   // same bits
    WORD w = 0;
    EXPECT_FALSE(c->GetWord(1, &w));                 // narrower: refused
    bool b = false;
    ASSERT_TRUE(c->GetBool(1, &b));
    EXPECT_TRUE(b);
    ULONGLONG u = 0;
    ASSERT_TRUE(c->GetUInt64(1, &u));
    EXPECT_EQ(u, 0xFFFFFFFEull);                     // zero-extended
    double d = 0;
    ASSERT_TRUE(c->GetDouble(1, &d));
    EXPECT_EQ(d, 4294967294.0);
    EXPECT_EQ(c->GetType(1), eValue_Dword);          // a get never changes what is stored

    c->SetConvert(false);
    EXPECT_FALSE(c->GetLong(1, &l));
    DWORD same = 0;
    EXPECT_TRUE(c->GetDword(1, &same));
}

TEST(ValueCollection, SignedAndDoubleConversions) {
    auto c = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(c->SetLong(1, -1));
    bool b = true;
    ASSERT_TRUE(c->GetBool(1, &b));
    EXPECT_FALSE(b);   // signed: true only above zero
    LONGLONG ll = 0;
    ASSERT_TRUE(c->GetInt64(1, &ll));
    EXPECT_EQ(ll, -1);
    ULONGLONG ull = 0;
    ASSERT_TRUE(c->GetUInt64(1, &ull));
    EXPECT_EQ(ull, 0xFFFFFFFFFFFFFFFFull);   // sign-extended
    double d = 0;
    ASSERT_TRUE(c->GetDouble(1, &d));
    EXPECT_EQ(d, -1.0);

    ASSERT_TRUE(c->SetDouble(2, 0.5));
    DWORD dw = 0;
    EXPECT_FALSE(c->GetDword(2, &dw));
    ASSERT_TRUE(c->GetBool(2, &b));
    EXPECT_TRUE(b);
    ASSERT_TRUE(c->SetDouble(2, -0.5));
    ASSERT_TRUE(c->GetBool(2, &b));
    EXPECT_FALSE(b);
    ASSERT_TRUE(c->SetDouble(2, 0.0));
    ASSERT_TRUE(c->GetBool(2, &b));
    EXPECT_FALSE(b);

    ASSERT_TRUE(c->SetBool(3, true));
    BYTE by = 0;
    ASSERT_TRUE(c->GetByte(3, &by));
    EXPECT_EQ(by, 1);
    ASSERT_TRUE(c->GetDouble(3, &d));
    EXPECT_EQ(d, 1.0);

    ASSERT_TRUE(c->SetChar(4, -2));
    WORD w = 0;
    ASSERT_TRUE(c->GetWord(4, &w));
    EXPECT_EQ(w, 0xFFFE);   // wider: sign-extended
    ASSERT_TRUE(c->SetUInt64(5, 0xFFFFFFFFFFFFFFFFull));
    ASSERT_TRUE(c->GetDouble(5, &d));
    EXPECT_EQ(d, 18446744073709551615.0);   // as an unsigned number
    ASSERT_TRUE(c->SetWord(6, 0));
    ASSERT_TRUE(c->GetBool(6, &b));
    EXPECT_FALSE(b);

    GUID g = {};
    EXPECT_FALSE(c->GetGuid(1, &g));
    EXPECT_FALSE(c->GetDword(99, &dw));   // missing key
}

TEST(ValueCollection, StringsSizesAndConversion) {
    auto c = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(c->SetString(1, "abc"));
    ASSERT_TRUE(c->SetWString(2, L"abc"));
    EXPECT_EQ(c->GetSize(1), 4u);
    EXPECT_EQ(c->GetSize(2), 8u);
    EXPECT_EQ(c->GetSize(3), 0u);
    std::wstring w;
    ASSERT_TRUE(c->GetWString(1, &w));
    EXPECT_EQ(w, L"abc");
    std::string n;
    ASSERT_TRUE(ReadStringAsNarrow(c.Get(), 2, n));
    EXPECT_EQ(n, "abc");
    ASSERT_TRUE(ReadStringAsWide(c.Get(), 1, w));
    EXPECT_EQ(w, L"abc");
    wchar_t small[3];
    EXPECT_FALSE(c->GetWStringBuf(2, small, sizeof(small)));   // no truncated copies
    wchar_t fits[4];
    ASSERT_TRUE(c->GetWStringBuf(2, fits, sizeof(fits)));
    EXPECT_STREQ(fits, L"abc");
    char narrow[4];
    ASSERT_TRUE(c->GetStringBuf(2, narrow, sizeof(narrow)));
    EXPECT_STREQ(narrow, "abc");
    EXPECT_FALSE(c->SetString(3, nullptr));
    EXPECT_FALSE(c->Exists(3));
}

TEST(ValueCollection, MemoryValues) {
    auto c = CKeyValueCollectionImpl::New();
    EXPECT_FALSE(c->SetMemory(1, "x", 0));       // a pointer without a length
    EXPECT_FALSE(c->SetMemory(1, nullptr, 3));   // a length without a pointer
    ASSERT_TRUE(c->SetMemory(1, nullptr, 0));
    EXPECT_EQ(c->GetSize(1), 0u);
    ASSERT_TRUE(c->SetMemory(2, "hello", 5));
    EXPECT_EQ(c->GetSize(2), 5u);
    char buffer[8] = {};
    DWORD size = 4;
    EXPECT_FALSE(c->GetMemoryBuf(2, buffer, &size));
    EXPECT_EQ(size, 5u);
    size = sizeof(buffer);
    ASSERT_TRUE(c->GetMemoryBuf(2, buffer, &size));
    EXPECT_STREQ(buffer, "hello");
    CComPtr<IMemoryBuffer> m;
    ASSERT_TRUE(c->GetMemory(2, m.Receive()));
    EXPECT_EQ(m->GetLength(), 5u);
    EXPECT_EQ(std::memcmp(m->GetData(), "hello", 5), 0);
}

TEST(ValueCollection, KeysOrderReplacementAndRemoval) {
    auto c = CKeyValueCollectionImpl::New();
    for (DWORD key : {5u, 1u, 3u}) ASSERT_TRUE(c->SetDword(key, key * 10));
    DWORD key = 0;
    ASSERT_TRUE(c->GetKeyAt(0, &key));
    EXPECT_EQ(key, 1u);
    ASSERT_TRUE(c->GetKeyAt(2, &key));
    EXPECT_EQ(key, 5u);
    EXPECT_FALSE(c->GetKeyAt(3, &key));

    ASSERT_TRUE(c->SetWString(3, L"now text"));
    EXPECT_EQ(c->GetCount(), 3u);
    EXPECT_EQ(c->GetType(3), eValue_WString);
    EXPECT_TRUE(c->Remove(3));
    EXPECT_FALSE(c->Remove(3));
    EXPECT_EQ(c->GetCount(), 2u);
    EXPECT_TRUE(c->RemoveAll());
    EXPECT_EQ(c->GetCount(), 0u);
}

TEST(ValueCollection, IndexFlavourIsDense) {
    auto c = CIndexValueCollectionImpl::New();
    EXPECT_FALSE(c->SetDword(0, 1));   // set replaces existing positions only
    ASSERT_TRUE(c->AddDword(10));
    ASSERT_TRUE(c->AddWString(L"b"));
    ASSERT_TRUE(c->AddBool(true));
    EXPECT_EQ(c->GetCount(), 3u);
    ASSERT_TRUE(c->SetLong(0, -4));
    EXPECT_FALSE(c->SetLong(3, 1));
    ASSERT_TRUE(c->Remove(0));
    std::wstring w;
    ASSERT_TRUE(c->GetWString(0, &w));   // moved down
    EXPECT_EQ(w, L"b");
    bool b = false;
    ASSERT_TRUE(c->GetBool(1, &b));
    EXPECT_TRUE(b);
    EXPECT_FALSE(c->Exists(2));
}

TEST(ValueCollection, VariantValuesAreCopies) {
    auto c = CKeyValueCollectionImpl::New();
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = ::SysAllocString(L"abc");
    ASSERT_TRUE(c->SetVariant(1, &v));
    ::VariantClear(&v);   // the collection holds its own copy
    VARIANT out;
    ::VariantInit(&out);
    ASSERT_TRUE(c->GetVariant(1, &out));
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_STREQ(out.bstrVal, L"abc");
    ::VariantClear(&out);
    EXPECT_EQ(c->GetSize(1), 2u + 4u + 6u);
    LONG l = 0;
    EXPECT_FALSE(c->GetLong(1, &l));   // VARIANTs convert to nothing
}

TEST(ValueCollection, ObjectValuesByReferenceOrClone) {
    auto outer = CKeyValueCollectionImpl::New();
    auto inner = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(inner->SetDword(7, 70));
    ASSERT_TRUE(outer->SetObj(1, inner.Get()));
    ASSERT_TRUE(inner->SetDword(7, 71));
    CComPtr<IUnknown> got;
    ASSERT_TRUE(outer->GetObj(1, got.Receive()));
    auto asKvc = got.As<IKeyValueCollection>(IID_IKeyValueCollection);
    DWORD d = 0;
    ASSERT_TRUE(asKvc->GetDword(7, &d));
    EXPECT_EQ(d, 71u);   // a counted reference sees later changes

    outer->SetClone(true);
    ASSERT_TRUE(outer->SetObj(2, inner.Get()));
    ASSERT_TRUE(inner->SetDword(7, 72));
    ASSERT_TRUE(outer->GetObj(2, got.Receive()));
    ASSERT_TRUE(got.As<IKeyValueCollection>(IID_IKeyValueCollection)->GetDword(7, &d));
    EXPECT_EQ(d, 71u);   // a deep copy does not
    EXPECT_GT(outer->GetSize(2), 19u);

    // A live object that cannot save itself (a stream, say) is kept by reference, but cannot be
    // cloned, and a collection holding it cannot be saved.
    CComPtr<IMemoryBuffer> notSerializable = CComPtr<IMemoryBuffer>::Adopt(CMemoryBuffer::Create("a", 1));
    EXPECT_FALSE(outer->SetObj(3, notSerializable.Get()));
    outer->SetClone(false);
    ASSERT_TRUE(outer->SetObj(3, notSerializable.Get()));
    ASSERT_TRUE(outer->GetObj(3, got.Receive()));
    EXPECT_EQ(got.Get(), static_cast<IUnknown*>(notSerializable.Get()));
    qlLib::CArchive archive(qlLib::CArchive::eStore);
    EXPECT_FALSE(outer.As<qlLib::ISerialize>(qlLib::IID_ISerialize)->SaveToArchive(&archive));
}

TEST(ValueCollection, CloneIsIndependent) {
    auto c = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(c->SetWString(0, L"product"));
    ASSERT_TRUE(c->SetDword(1, 2014));
    c->SetConvert(false);
    CComPtr<IUnknown> copy;
    ASSERT_TRUE(c.As<IClone>(IID_IClone)->Clone(copy.Receive()));
    auto k = copy.As<IKeyValueCollection>(IID_IKeyValueCollection);
    ASSERT_TRUE(k);
    EXPECT_EQ(k->GetCount(), 2u);
    EXPECT_FALSE(k->GetConvert());
    ASSERT_TRUE(c->SetDword(1, 1));
    DWORD d = 0;
    ASSERT_TRUE(k->GetDword(1, &d));
    EXPECT_EQ(d, 2014u);

    auto other = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(other->SetBool(99, true));
    ASSERT_TRUE(other.As<IClone>(IID_IClone)->CopyFrom(c.Get()));
    EXPECT_FALSE(other->Exists(99));
    EXPECT_EQ(other->GetCount(), 2u);
    // Only a collection of the same kind can be copied from.
    auto index = CIndexValueCollectionImpl::New();
    EXPECT_FALSE(other.As<IClone>(IID_IClone)->CopyFrom(index.Get()));
}

TEST(ValueCollection, ACollectionThatContainsItselfIsNotCopied) {
    auto outer = CKeyValueCollectionImpl::New();
    auto inner = CIndexValueCollectionImpl::New();
    ASSERT_TRUE(outer->SetDword(0, 1));
    ASSERT_TRUE(inner->AddObj(outer.Get()));
    ASSERT_TRUE(outer->SetObj(1, inner.Get()));   // outer -> inner -> outer
    CComPtr<IUnknown> copy;
    EXPECT_FALSE(outer.As<IClone>(IID_IClone)->Clone(copy.Receive()));
    auto target = CKeyValueCollectionImpl::New();
    EXPECT_FALSE(target.As<IClone>(IID_IClone)->CopyFrom(outer.Get()));
    // Once the loop is broken, the same collections copy again.
    ASSERT_TRUE(inner->RemoveAll());
    EXPECT_TRUE(outer.As<IClone>(IID_IClone)->Clone(copy.Receive()));
    EXPECT_TRUE(target.As<IClone>(IID_IClone)->CopyFrom(outer.Get()));
    EXPECT_EQ(target->GetCount(), 2u);
}

namespace {

struct CHammer {
    IKeyValueCollection* collection;
    int id;
};

unsigned __stdcall HammerThread(void* p) {
    auto* h = static_cast<CHammer*>(p);
    for (int i = 0; i < 2000; ++i) {
        const DWORD key = static_cast<DWORD>(h->id * 100000 + i);
        h->collection->SetDword(key, key);
        h->collection->SetWString(static_cast<DWORD>(i % 50), L"shared");   // all threads fight here
        DWORD value = 0;
        if (!h->collection->GetDword(key, &value) || value != key) return 1;
        if (i % 3 == 0 && !h->collection->Remove(key)) return 2;
        DWORD size = 0;
        CComPtr<ISerialize> s;
        h->collection->QueryInterface(IID_ISerialize, reinterpret_cast<void**>(s.Receive()));
        if (i % 100 == 0 && !s->GetSize(&size)) return 3;
    }
    return 0;
}

}  // namespace

TEST(ValueCollection, OneCollectionFromManyThreads) {
    auto c = CKeyValueCollectionImpl::New();
    CHammer hammers[4];
    HANDLE threads[4];
    for (int t = 0; t < 4; ++t) {
        hammers[t] = {c.Get(), t + 1};
        threads[t] = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &HammerThread, &hammers[t], 0, nullptr));
    }
    ::WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (HANDLE h : threads) {
        DWORD code = 99;
        ::GetExitCodeThread(h, &code);
        EXPECT_EQ(code, 0u);
        ::CloseHandle(h);
    }
    // Each thread kept 2000 - 667 of its own keys; the 50 shared keys exist once.
    EXPECT_EQ(c->GetCount(), 4u * (2000u - 667u) + 50u);
    DWORD previous = 0, key = 0;
    for (DWORD i = 0; i < c->GetCount(); ++i) {
        ASSERT_TRUE(c->GetKeyAt(i, &key));
        if (i) {
            EXPECT_GT(key, previous);
        }
        previous = key;
    }
}
