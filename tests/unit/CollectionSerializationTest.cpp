#include <gtest/gtest.h>

#include <random>

#include "package/IndexValueCollectionImpl.h"
#include "package/KeyValueCollectionImpl.h"

using namespace qlLib;

namespace {

std::vector<BYTE> Save(IUnknown* collection) {
    CComPtr<ISerialize> s;
    collection->QueryInterface(IID_ISerialize, reinterpret_cast<void**>(s.Receive()));
    CArchive a(CArchive::eStore);
    EXPECT_TRUE(s->SaveToArchive(&a));
    DWORD size = 0;
    EXPECT_TRUE(s->GetSize(&size));
    EXPECT_EQ(size, a.Buffer().size());   // the measured size is what a save writes
    return a.Buffer();
}

bool Load(IUnknown* collection, std::vector<BYTE> bytes) {
    CComPtr<ISerialize> s;
    collection->QueryInterface(IID_ISerialize, reinterpret_cast<void**>(s.Receive()));
    CArchive a(CArchive::eLoad, bytes.empty() ? nullptr : bytes.data(), static_cast<DWORD>(bytes.size()));
    return s->LoadFromArchive(&a);
}

std::vector<BYTE> Hex(const char* text) {
    std::vector<BYTE> out;
    for (const char* p = text; *p;) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        unsigned v = 0;
        sscanf(p, "%2x", &v);
        out.push_back(static_cast<BYTE>(v));
        p += 2;
    }
    return out;
}

// Both flavours' headers: version 1, convert on, clone off, version 1, the count.
const char kEmpty[] = "06 01000000 0A 01 0A 00 06 01000000 03 00000000";

}  // namespace

TEST(CollectionFormat, EmptyCollectionIsNineteenBytes) {
    EXPECT_EQ(Save(CKeyValueCollectionImpl::New().Get()), Hex(kEmpty));
    EXPECT_EQ(Save(CIndexValueCollectionImpl::New().Get()), Hex(kEmpty));
    EXPECT_EQ(Hex(kEmpty).size(), 19u);
}

TEST(CollectionFormat, ProductSettingsBlockDecodesItemByItem) {
    // The start of a product settings block: product ID "VLM", year 2014, month 6, a flag.
    const std::vector<BYTE> bytes = Hex(
        "06 01000000 0A 01 0A 00 06 01000000 03 04000000"
        "03 00000000 01 0E 08 08000000 5600 4C00 4D00 0000"
        "03 01000000 01 07 03 DE070000"
        "03 02000000 01 07 03 06000000"
        "03 0B000000 01 01 0A 01");
    auto c = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(Load(c.Get(), bytes));
    EXPECT_EQ(c->GetCount(), 4u);
    std::wstring product;
    ASSERT_TRUE(c->GetWString(0, &product));
    EXPECT_EQ(product, L"VLM");
    DWORD year = 0, month = 0;
    ASSERT_TRUE(c->GetDword(1, &year));
    ASSERT_TRUE(c->GetDword(2, &month));
    EXPECT_EQ(year, 2014u);
    EXPECT_EQ(month, 6u);
    bool flag = false;
    ASSERT_TRUE(c->GetBool(11, &flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(c->GetConvert());
    EXPECT_FALSE(c->GetClone());
    // Written back, byte for byte the same.
    EXPECT_EQ(Save(c.Get()), bytes);
}

TEST(CollectionFormat, EveryTypeRoundTrips) {
    auto c = CKeyValueCollectionImpl::New();
    auto inner = CIndexValueCollectionImpl::New();
    ASSERT_TRUE(inner->AddWString(L"nested"));
    ASSERT_TRUE(c->SetBool(1, true));
    ASSERT_TRUE(c->SetChar(2, -3));
    ASSERT_TRUE(c->SetByte(3, 200));
    ASSERT_TRUE(c->SetShort(4, -300));
    ASSERT_TRUE(c->SetWord(5, 60000));
    ASSERT_TRUE(c->SetLong(6, -70000));
    ASSERT_TRUE(c->SetDword(7, 4000000000u));
    ASSERT_TRUE(c->SetInt64(8, -5000000000LL));
    ASSERT_TRUE(c->SetUInt64(9, 18000000000000000000ull));
    ASSERT_TRUE(c->SetDouble(10, 3.25));
    const GUID g = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    ASSERT_TRUE(c->SetGuid(11, &g));
    CValue16 o = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
    ASSERT_TRUE(c->SetOpaque16(12, &o));
    ASSERT_TRUE(c->SetString(13, "narrow"));
    ASSERT_TRUE(c->SetWString(14, L"wide \u00e9"));
    ASSERT_TRUE(c->SetMemory(15, "\x00\x01\x02", 3));
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_UI2;
    v.uiVal = 513;
    ASSERT_TRUE(c->SetVariant(16, &v));
    ASSERT_TRUE(c->SetObj(17, inner.Get()));
    c->SetClone(true);

    const std::vector<BYTE> bytes = Save(c.Get());
    auto back = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(Load(back.Get(), bytes));
    EXPECT_EQ(Save(back.Get()), bytes);
    EXPECT_TRUE(back->GetClone());
    for (DWORD key = 1; key <= 17; ++key) EXPECT_EQ(back->GetType(key), key) << key;
    CComPtr<IUnknown> object;
    ASSERT_TRUE(back->GetObj(17, object.Receive()));
    auto list = object.As<IIndexValueCollection>(IID_IIndexValueCollection);
    ASSERT_TRUE(list);
    std::wstring text;
    ASSERT_TRUE(list->GetWString(0, &text));
    EXPECT_EQ(text, L"nested");
    GUID gg = {};
    ASSERT_TRUE(back->GetGuid(11, &gg));
    EXPECT_TRUE(IsEqualGUID(gg, g));
    ULONGLONG u = 0;
    ASSERT_TRUE(back->GetUInt64(9, &u));
    EXPECT_EQ(u, 18000000000000000000ull);
}

TEST(CollectionFormat, LaterDuplicateKeyWins) {
    auto c = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(Load(c.Get(), Hex("06 01000000 0A 01 0A 00 06 01000000 03 02000000"
                                  "03 05000000 01 07 03 01000000"
                                  "03 05000000 01 07 03 02000000")));
    EXPECT_EQ(c->GetCount(), 1u);
    DWORD d = 0;
    ASSERT_TRUE(c->GetDword(5, &d));
    EXPECT_EQ(d, 2u);
}

TEST(CollectionFormat, HostileInputFailsAndLeavesTheCollectionEmpty) {
    const char* const cases[] = {
        // 0xFFFFFFFF entries, one present.
        "06 01000000 0A 01 0A 00 06 01000000 03 FFFFFFFF 03 00000000 01 07 03 01000000",
        // A string longer than what remains.
        "06 01000000 0A 01 0A 00 06 01000000 03 01000000 03 00000000 01 0E 08 FFFFFF7F 4100 0000",
        // A VARIANT array of variants claiming billions of elements.
        "06 01000000 0A 01 0A 00 06 01000000 03 01000000 03 00000000 01 10 0B 0A000000 0C20 FFFFFFFF 0300 0100",
        // An unknown type code.
        "06 01000000 0A 01 0A 00 06 01000000 03 01000000 03 00000000 01 12 03 01000000",
        // A wrong format version.
        "06 02000000 0A 01 0A 00 06 01000000 03 00000000",
        // An object value of an unknown class.
        "06 01000000 0A 01 0A 00 06 01000000 03 01000000 03 00000000 01 11 09 10000000"
        "00000000000000000000000000000000 09 13000000 06 01000000 0A 01 0A 00 06 01000000 03 00000000",
        // Truncated in the middle of an item.
        "06 01000000 0A 01 0A 00 06 01000000 03 01000000 03 00000000 01 07 03 0100",
    };
    for (const char* text : cases) {
        auto c = CKeyValueCollectionImpl::New();
        ASSERT_TRUE(c->SetDword(42, 1));
        EXPECT_FALSE(Load(c.Get(), Hex(text))) << text;
        EXPECT_EQ(c->GetCount(), 0u) << text;
    }
    // Dense positions only: position 5 in an empty index/value collection is a gap.
    auto list = CIndexValueCollectionImpl::New();
    EXPECT_FALSE(Load(list.Get(), Hex("06 01000000 0A 01 0A 00 06 01000000 03 01000000 03 05000000 01 07 03 01000000")));
    EXPECT_EQ(list->GetCount(), 0u);
}

TEST(CollectionFormat, ObjectsNestedTooDeepFail) {
    // Collections inside collections, one level deeper than the archive allows.
    CComPtr<IKeyValueCollection> current = CKeyValueCollectionImpl::New();
    for (int depth = 0; depth < CArchive::kMaxObjectDepth + 2; ++depth) {
        auto outer = CKeyValueCollectionImpl::New();
        ASSERT_TRUE(outer->SetObj(0, current.Get()));
        current = outer;
    }
    CComPtr<ISerialize> s = current.As<ISerialize>(IID_ISerialize);
    CArchive a(CArchive::eStore);
    EXPECT_FALSE(s->SaveToArchive(&a));
    // A collection that holds itself cannot be saved either, and does not recurse forever.
    auto self = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(self->SetObj(0, self.Get()));
    CArchive b(CArchive::eStore);
    EXPECT_FALSE(self.As<ISerialize>(IID_ISerialize)->SaveToArchive(&b));
    DWORD size = 0;
    EXPECT_FALSE(self.As<ISerialize>(IID_ISerialize)->GetSize(&size));
    self->RemoveAll();   // breaks the reference cycle
}

TEST(CollectionFormat, RandomlyDamagedDataNeverCrashes) {
    // A realistic collection, then truncations and byte mutations with a fixed seed.
    auto c = CKeyValueCollectionImpl::New();
    auto inner = CKeyValueCollectionImpl::New();
    ASSERT_TRUE(inner->SetWString(1, L"inner"));
    ASSERT_TRUE(c->SetWString(0, L"PRODUCT"));
    ASSERT_TRUE(c->SetDword(1, 2014));
    ASSERT_TRUE(c->SetBool(11, true));
    ASSERT_TRUE(c->SetString(18, "Software\\Korvanta"));
    ASSERT_TRUE(c->SetMemory(30, "\x01\x02\x03\x04", 4));
    ASSERT_TRUE(c->SetObj(40, inner.Get()));
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 9;
    ASSERT_TRUE(c->SetVariant(50, &v));
    const std::vector<BYTE> good = Save(c.Get());

    std::mt19937 random(20121);
    int loaded = 0, failed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<BYTE> bytes = good;
        const bool truncated = round % 3 == 0;
        if (truncated) {
            bytes.resize(random() % bytes.size());
        } else {
            const int mutations = 1 + static_cast<int>(random() % 4);
            for (int m = 0; m < mutations; ++m) {
                const size_t at = random() % bytes.size();
                bytes[at] = (random() % 4 == 0) ? 0xFF : static_cast<BYTE>(random());
            }
        }
        auto target = CKeyValueCollectionImpl::New();
        if (Load(target.Get(), bytes)) {
            ++loaded;
            // A cut archive never passes for a whole one; what loads saves and loads again alike.
            ASSERT_FALSE(truncated) << "round " << round;
            auto again = CKeyValueCollectionImpl::New();
            ASSERT_TRUE(Load(again.Get(), Save(target.Get()))) << "round " << round;
            EXPECT_EQ(again->GetCount(), target->GetCount()) << "round " << round;
        } else {
            ++failed;
            ASSERT_EQ(target->GetCount(), 0u) << "round " << round;
        }
    }
    EXPECT_GT(failed, 1000);
    EXPECT_GT(loaded, 0);
}
