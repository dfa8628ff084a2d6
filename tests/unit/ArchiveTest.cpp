#include <gtest/gtest.h>

#include <olectl.h>
#include <psapi.h>

#include <cstring>

#include "package/Archive.h"
#include "package/KeyValueCollectionImpl.h"

using qlLib::CArchive;

namespace {

std::vector<BYTE> Bytes(std::initializer_list<int> list) {
    std::vector<BYTE> out;
    for (int b : list) out.push_back(static_cast<BYTE>(b));
    return out;
}

}  // namespace

TEST(Archive, ByteExactItems) {
    CArchive a(CArchive::eStore);
    ASSERT_TRUE(a.WriteWString(std::wstring(L"AB")));
    EXPECT_EQ(a.Buffer(), Bytes({0x08, 0x06, 0, 0, 0, 0x41, 0, 0x42, 0, 0, 0}));
    EXPECT_EQ(a.GetTotal(), 11u);

    CArchive empty(CArchive::eStore);
    ASSERT_TRUE(empty.WriteWString(std::wstring()));
    EXPECT_EQ(empty.Buffer(), Bytes({0x08, 0x02, 0, 0, 0, 0, 0}));

    CArchive dword(CArchive::eStore);
    ASSERT_TRUE(dword.WriteDword(21));
    EXPECT_EQ(dword.Buffer(), Bytes({0x03, 0x15, 0, 0, 0}));

    CArchive narrow(CArchive::eStore);
    ASSERT_TRUE(narrow.WriteString(std::string("hi")));
    ASSERT_TRUE(narrow.WriteBool(true));
    ASSERT_TRUE(narrow.WriteInt16(-2));
    EXPECT_EQ(narrow.Buffer(), Bytes({0x07, 3, 0, 0, 0, 'h', 'i', 0, 0x0A, 1, 0x0D, 0xFE, 0xFF}));
}

TEST(Archive, MeasuringCountsWhatAStoreWrites) {
    CArchive store(CArchive::eStore);
    CArchive measure = CArchive::Measuring();
    for (CArchive* a : {&store, &measure}) {
        ASSERT_TRUE(a->WriteGuid(GUID{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}}));
        ASSERT_TRUE(a->WriteBlock("xyz", 3));
        ASSERT_TRUE(a->WriteDouble(1.5));
    }
    EXPECT_EQ(measure.GetTotal(), store.Buffer().size());
    EXPECT_EQ(store.GetTotal(), 17u + 8u + 9u);
}

TEST(Archive, FailedReadConsumesNothing) {
    std::vector<BYTE> data = Bytes({0x03, 0x15, 0, 0, 0, 0x08, 0x06, 0, 0, 0, 0x41, 0, 0x42, 0, 0, 0});
    CArchive a(CArchive::eLoad, data.data(), static_cast<DWORD>(data.size()));
    LONG l = 0;
    EXPECT_FALSE(a.ReadLong(l));   // a tag-3 item where tag 6 is expected
    std::string narrow;
    EXPECT_FALSE(a.ReadString(narrow));
    DWORD d = 0;
    ASSERT_TRUE(a.ReadDword(d));
    EXPECT_EQ(d, 21u);
    BYTE tag = 0;
    DWORD length = 0;
    ASSERT_TRUE(a.PeekLength(tag, length));
    EXPECT_EQ(tag, 8);
    EXPECT_EQ(length, 6u);
    std::wstring wide;
    ASSERT_TRUE(a.ReadWString(wide));
    EXPECT_EQ(wide, L"AB");
    EXPECT_EQ(a.GetTotal(), 16u);
    EXPECT_FALSE(a.ReadDword(d));   // nothing left
    EXPECT_FALSE(a.WriteDword(1));  // wrong mode
}

TEST(Archive, LengthsBeyondTheDataFailWithoutAllocating) {
    // A block claiming 3 GB, a string claiming 600 MB, in a 12-byte buffer.
    std::vector<BYTE> block = Bytes({0x09, 0x00, 0x00, 0x00, 0xC0, 1, 2, 3, 4, 5, 6, 7});
    CArchive a(CArchive::eLoad, block.data(), static_cast<DWORD>(block.size()));
    std::vector<BYTE> out;
    EXPECT_FALSE(a.ReadBlock(out));
    EXPECT_TRUE(a.Skip() == false);
    std::vector<BYTE> text = Bytes({0x07, 0x00, 0x00, 0xC0, 0x23, 'a', 0});
    CArchive b(CArchive::eLoad, text.data(), static_cast<DWORD>(text.size()));
    std::string s;
    EXPECT_FALSE(b.ReadString(s));
    // A wide string with an odd byte count is no string.
    std::vector<BYTE> odd = Bytes({0x08, 3, 0, 0, 0, 'a', 0, 0});
    CArchive c(CArchive::eLoad, odd.data(), static_cast<DWORD>(odd.size()));
    std::wstring w;
    EXPECT_FALSE(c.ReadWString(w));
}

TEST(Archive, SkipAndWindow) {
    CArchive store(CArchive::eStore);
    ASSERT_TRUE(store.WriteBlock("abcdef", 6));
    ASSERT_TRUE(store.WriteByte(7));
    std::vector<BYTE> data = store.Buffer();
    CArchive a(CArchive::eLoad, data.data(), static_cast<DWORD>(data.size()));
    ASSERT_TRUE(a.Skip());
    BYTE b = 0;
    ASSERT_TRUE(a.ReadByte(b));
    EXPECT_EQ(b, 7);

    CArchive w(CArchive::eLoad, data.data(), static_cast<DWORD>(data.size()));
    BYTE header[5];
    qlLib::CComPtr<qlLib::IDataStream> window;
    ASSERT_TRUE(w.Window(5, window.Receive()));
    ASSERT_TRUE(window->Read(header, 5));
    EXPECT_EQ(header[0], 0x09);
    EXPECT_FALSE(window->Read(header, 1));   // stays inside its five bytes
    qlLib::CComPtr<qlLib::IDataStream> rest;
    ASSERT_TRUE(w.Window(6, rest.Receive()));
    char text[7] = {};
    ASSERT_TRUE(rest->Read(text, 6));
    EXPECT_STREQ(text, "abcdef");
    ASSERT_TRUE(w.ReadByte(b));   // the archive moved past both windows
    EXPECT_EQ(b, 7);
    EXPECT_FALSE(w.Window(1, rest.Receive()));
}

TEST(Archive, StreamingFormsThrowOnFailure) {
    BYTE small[3];
    CArchive a(CArchive::eStore, small, sizeof(small));
    EXPECT_THROW(a << static_cast<DWORD>(5), CArchive::CArchiveException);
    CArchive b(CArchive::eStore);
    EXPECT_NO_THROW(b << static_cast<DWORD>(5) << true << std::wstring(L"x"));
    EXPECT_EQ(b.Buffer().size(), 5u + 2u + 9u);
}

TEST(Archive, VariantsRoundTrip) {
    CArchive store(CArchive::eStore);
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = -7;
    ASSERT_TRUE(store.WriteVariant(v));
    VARIANT s;
    ::VariantInit(&s);
    s.vt = VT_BSTR;
    s.bstrVal = ::SysAllocString(L"text");
    ASSERT_TRUE(store.WriteVariant(s));
    // An array of variants holding a byte array and a double.
    SAFEARRAY* outer = ::SafeArrayCreateVector(VT_VARIANT, 0, 2);
    VARIANT* items = nullptr;
    ASSERT_HRESULT_SUCCEEDED(::SafeArrayAccessData(outer, reinterpret_cast<void**>(&items)));
    items[0].vt = VT_ARRAY | VT_UI1;
    items[0].parray = ::SafeArrayCreateVector(VT_UI1, 0, 3);
    BYTE* raw = nullptr;
    ::SafeArrayAccessData(items[0].parray, reinterpret_cast<void**>(&raw));
    raw[0] = 1, raw[1] = 2, raw[2] = 3;
    ::SafeArrayUnaccessData(items[0].parray);
    items[1].vt = VT_R8;
    items[1].dblVal = 2.5;
    ::SafeArrayUnaccessData(outer);
    VARIANT arr;
    ::VariantInit(&arr);
    arr.vt = VT_ARRAY | VT_VARIANT;
    arr.parray = outer;
    ASSERT_TRUE(store.WriteVariant(arr));
    VARIANT cy;
    ::VariantInit(&cy);
    cy.vt = VT_CY;
    EXPECT_FALSE(store.WriteVariant(cy));   // not a layout the format knows

    // VT_I4: 0B, length 6, VARTYPE 3, value.
    const std::vector<BYTE>& bytes = store.Buffer();
    EXPECT_EQ(std::vector<BYTE>(bytes.begin(), bytes.begin() + 11), Bytes({0x0B, 6, 0, 0, 0, 3, 0, 0xF9, 0xFF, 0xFF, 0xFF}));

    std::vector<BYTE> data = bytes;
    CArchive load(CArchive::eLoad, data.data(), static_cast<DWORD>(data.size()));
    VARIANT r;
    ::VariantInit(&r);
    ASSERT_TRUE(load.ReadVariant(r));
    EXPECT_EQ(r.vt, VT_I4);
    EXPECT_EQ(r.lVal, -7);
    ASSERT_TRUE(load.ReadVariant(r));
    ASSERT_EQ(r.vt, VT_BSTR);
    EXPECT_STREQ(r.bstrVal, L"text");
    ASSERT_TRUE(load.ReadVariant(r));
    ASSERT_EQ(r.vt, VT_ARRAY | VT_VARIANT);
    VARIANT* loaded = nullptr;
    ASSERT_HRESULT_SUCCEEDED(::SafeArrayAccessData(r.parray, reinterpret_cast<void**>(&loaded)));
    EXPECT_EQ(loaded[0].vt, VT_ARRAY | VT_UI1);
    EXPECT_EQ(loaded[1].vt, VT_R8);
    EXPECT_EQ(loaded[1].dblVal, 2.5);
    BYTE* loadedRaw = static_cast<BYTE*>(loaded[0].parray->pvData);
    EXPECT_EQ(loadedRaw[2], 3);
    ::SafeArrayUnaccessData(r.parray);
    ::VariantClear(&r);
    ::VariantClear(&arr);
    ::VariantClear(&s);
}

TEST(Archive, VariantArrayClaimingBillionsFails) {
    // 0x200C array of variants with 0x7FFFFFFF elements in a 12-byte item.
    std::vector<BYTE> data = Bytes({0x0B, 12, 0, 0, 0, 0x0C, 0x20, 0xFF, 0xFF, 0xFF, 0x7F, 3, 0, 1, 0, 0, 0});
    CArchive a(CArchive::eLoad, data.data(), static_cast<DWORD>(data.size()));
    VARIANT v;
    ::VariantInit(&v);
    EXPECT_FALSE(a.ReadVariant(v));
    EXPECT_EQ(v.vt, VT_EMPTY);
    // The failed read left the item where it was.
    BYTE tag = 0;
    DWORD length = 0;
    ASSERT_TRUE(a.PeekLength(tag, length));
    EXPECT_EQ(tag, 11);
}

TEST(Archive, NestedVariantArraysAllocateNoMoreThanTheirBytes) {
    // Sixteen arrays nested in each other, each claiming four million elements, in an item that
    // says 400 MB and holds a few bytes: refused before any of those arrays is made.
    std::vector<BYTE> data = {0x0B, 0x00, 0x00, 0x00, 0x19};
    for (int level = 0; level < 16; ++level) data.insert(data.end(), {0x0C, 0x20, 0x00, 0x00, 0x40, 0x00});
    PROCESS_MEMORY_COUNTERS before = {}, after = {};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof(before));
    CArchive a(CArchive::eLoad, data.data(), static_cast<DWORD>(data.size()));
    VARIANT v;
    ::VariantInit(&v);
    EXPECT_FALSE(a.ReadVariant(v));
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof(after));
    EXPECT_LT(after.PeakPagefileUsage - before.PeakPagefileUsage, 8u << 20);

    // Two arrays side by side inside one: the first may not take the bytes the second needs.
    std::vector<BYTE> pair = {0x0B, 24, 0, 0, 0, 0x0C, 0x20, 2, 0, 0, 0,
                              0x0C, 0x20, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    CArchive b(CArchive::eLoad, pair.data(), static_cast<DWORD>(pair.size()));
    EXPECT_FALSE(b.ReadVariant(v));
    pair[13] = 5;   // leaves two bytes: the second element, an empty VARIANT
    CArchive c(CArchive::eLoad, pair.data(), static_cast<DWORD>(pair.size()));
    EXPECT_TRUE(c.ReadVariant(v));
    ::VariantClear(&v);
}

TEST(Archive, ObjectVariantsGoThroughPersistStream) {
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
        // A font is a stock object that saves itself to a stream.
        FONTDESC desc = {sizeof(FONTDESC), const_cast<LPOLESTR>(L"Tahoma"), {120000, 0}, FW_BOLD, ANSI_CHARSET,
                         FALSE, FALSE, FALSE};
        qlLib::CComPtr<IFont> font;
        ASSERT_HRESULT_SUCCEEDED(::OleCreateFontIndirect(&desc, IID_IFont, reinterpret_cast<void**>(font.Receive())));
        VARIANT v;
        ::VariantInit(&v);
        v.vt = VT_UNKNOWN;
        v.punkVal = font.Get();
        CArchive store(CArchive::eStore);
        ASSERT_TRUE(store.WriteVariant(v));
        std::vector<BYTE> data = store.Buffer();
        VARIANT r;
        ::VariantInit(&r);
        {
            // Bytes of unknown origin never create the class they name, alone or inside an array.
            CArchive untrusted(CArchive::eLoad, data.data(), static_cast<DWORD>(data.size()));
            EXPECT_FALSE(untrusted.ReadVariant(r));
            EXPECT_EQ(r.vt, VT_EMPTY);
            std::vector<BYTE> inArray = {0x0B, 0, 0, 0, 0, 0x0C, 0x20, 1, 0, 0, 0};
            inArray.insert(inArray.end(), data.begin() + 5, data.end());
            inArray[1] = static_cast<BYTE>(inArray.size() - 5);
            CArchive nested(CArchive::eLoad, inArray.data(), static_cast<DWORD>(inArray.size()));
            EXPECT_FALSE(nested.ReadVariant(r));
            CArchive::CTrustedObjectValues trusted;
            CArchive again(CArchive::eLoad, inArray.data(), static_cast<DWORD>(inArray.size()));
            EXPECT_TRUE(again.ReadVariant(r));
            ::VariantClear(&r);
        }
        CArchive::CTrustedObjectValues ownBytes;
        CArchive load(CArchive::eLoad, data.data(), static_cast<DWORD>(data.size()));
        ASSERT_TRUE(load.ReadVariant(r));
        ASSERT_EQ(r.vt, VT_UNKNOWN);
        qlLib::CComPtr<IFont> loaded;
        ASSERT_HRESULT_SUCCEEDED(r.punkVal->QueryInterface(IID_IFont, reinterpret_cast<void**>(loaded.Receive())));
        // The name as the system settled on it (a missing face is substituted) survives.
        BSTR name = nullptr, original = nullptr;
        ASSERT_HRESULT_SUCCEEDED(loaded->get_Name(&name));
        ASSERT_HRESULT_SUCCEEDED(font->get_Name(&original));
        EXPECT_STREQ(name, original);
        ::SysFreeString(name);
        ::SysFreeString(original);
        BOOL bold = FALSE;
        loaded->get_Bold(&bold);
        EXPECT_TRUE(bold);
        ::VariantClear(&r);

        // An object that cannot save itself cannot be written.
        qlLib::CComPtr<qlLib::IKeyValueCollection> plain = qlLib::CKeyValueCollectionImpl::New();
        v.punkVal = plain.Get();
        CArchive other(CArchive::eStore);
        EXPECT_FALSE(other.WriteVariant(v));
    }
    ::CoUninitialize();
}

namespace {

// A stream that claims far more bytes than it can deliver, as a damaged file system or a lying
// wrapper might.
class CBoastfulStream : public qlLib::IDataStream {
public:
    explicit CBoastfulStream(std::vector<BYTE> data) : m_data(std::move(data)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    bool STDMETHODCALLTYPE GetSize(ULONGLONG* size) override {
        *size = 0x40000000;
        return true;
    }
    bool STDMETHODCALLTYPE SetSize(ULONGLONG) override { return false; }
    bool STDMETHODCALLTYPE GetPosition(ULONGLONG* position) override {
        *position = m_position;
        return true;
    }
    bool STDMETHODCALLTYPE Seek(ULONGLONG position) override {
        if (position > 0x40000000) return false;
        m_position = position;
        return true;
    }
    bool STDMETHODCALLTYPE Write(const void*, DWORD) override { return false; }
    bool STDMETHODCALLTYPE Read(void* buffer, DWORD count) override {
        if (m_position + count > m_data.size()) return false;
        std::memcpy(buffer, m_data.data() + m_position, count);
        m_position += count;
        ++reads;
        return true;
    }
    int reads = 0;

private:
    std::vector<BYTE> m_data;
    ULONGLONG m_position = 0;
};

}  // namespace

TEST(Archive, HugeLengthsMustBeProvenByTheStream) {
    // A block of 0x30000000 bytes (above the 500 MiB line) in a stream that has 16.
    CBoastfulStream stream(Bytes({0x09, 0x00, 0x00, 0x00, 0x30, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    CArchive a(CArchive::eLoad, &stream);
    std::vector<BYTE> out;
    EXPECT_FALSE(a.ReadBlock(out));
    EXPECT_TRUE(out.empty());
    ULONGLONG position = 99;
    stream.GetPosition(&position);
    EXPECT_EQ(position, 0u);
}
