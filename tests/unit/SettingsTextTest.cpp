#include <gtest/gtest.h>

#include "package/KeyValueCollectionImpl.h"
#include "tools/ministub-build/SettingsText.h"

using builder::FormatSettingsText;
using builder::ParseSettingsText;
using qlLib::CComPtr;
using qlLib::IKeyValueCollection;

namespace {

CComPtr<IKeyValueCollection> Parse(const std::string& text, std::string* error = nullptr) {
    CComPtr<IKeyValueCollection> kvc = qlLib::CKeyValueCollectionImpl::New();
    std::string ignored;
    if (!ParseSettingsText(text, kvc.Get(), error ? *error : ignored)) return nullptr;
    return kvc;
}

TEST(SettingsText, TypedLinesBecomeTypedValues) {
    auto kvc = Parse(
        "\xEF\xBB\xBF# product settings\r\n"
        "0 = wstring:PRODUCT\r\n"
        "1 = dword:2014\n"
        "11 = bool:false\n"
        "\n"
        "  12=long:-5\n"
        "13 = dword:0xFFFFFFFF\n"
        "14 = uint64:18446744073709551615\n"
        "15 = wstring:\"  spaced \\\"quoted\\\"\\n\"\n"
        "16 = wstring:Gr\xC3\xBC\xC3\x9F" "e\n"
        "17 = hex:00 01 FE\n"
        "18 = guid:{5ADE9677-53A9-4827-A659-5595C923EFE3}\n"
        "19 = string:narrow\n"
        "20 = double:2.5\n"
        "21 = long:0xFFFFFFFF\n");
    ASSERT_TRUE(kvc);
    kvc->SetConvert(false);
    std::wstring w;
    DWORD d = 0;
    bool b = true;
    LONG l = 0;
    ULONGLONG u = 0;
    ASSERT_TRUE(kvc->GetWString(0, &w));
    EXPECT_EQ(w, L"PRODUCT");
    ASSERT_TRUE(kvc->GetDword(1, &d));
    EXPECT_EQ(d, 2014u);
    ASSERT_TRUE(kvc->GetBool(11, &b));
    EXPECT_FALSE(b);
    ASSERT_TRUE(kvc->GetLong(12, &l));
    EXPECT_EQ(l, -5);
    ASSERT_TRUE(kvc->GetDword(13, &d));
    EXPECT_EQ(d, 0xFFFFFFFFu);
    ASSERT_TRUE(kvc->GetUInt64(14, &u));
    EXPECT_EQ(u, ~0ULL);
    ASSERT_TRUE(kvc->GetWString(15, &w));
    EXPECT_EQ(w, L"  spaced \"quoted\"\n");
    ASSERT_TRUE(kvc->GetWString(16, &w));
    EXPECT_EQ(w, L"Gr\u00FC\u00DFe");
    BYTE bytes[3] = {};
    DWORD size = sizeof(bytes);
    ASSERT_TRUE(kvc->GetMemoryBuf(17, bytes, &size));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(bytes[2], 0xFE);
    GUID g{};
    ASSERT_TRUE(kvc->GetGuid(18, &g));
    EXPECT_EQ(g.Data1, 0x5ADE9677u);
    std::string s;
    ASSERT_TRUE(kvc->GetString(19, &s));
    EXPECT_EQ(s, "narrow");
    ASSERT_TRUE(kvc->GetLong(21, &l));
    EXPECT_EQ(l, -1);
    EXPECT_EQ(kvc->GetCount(), 13u);
}

TEST(SettingsText, FormattedTextReadsBackTheSame) {
    auto kvc = Parse(
        "0 = wstring:\" lead\"\n1 = dword:7\n2 = bool:true\n3 = int8:-3\n4 = byte:255\n5 = int16:-300\n"
        "6 = word:65535\n7 = int64:-9000000000\n8 = double:0.1\n9 = string:\"tab\\there\"\n10 = hex:\n"
        "11 = opaque16:000102030405060708090A0B0C0D0E0F\n12 = wstring:\"\"\n");
    ASSERT_TRUE(kvc);
    std::string text;
    ASSERT_TRUE(FormatSettingsText(kvc.Get(), text));
    auto again = Parse(text);
    ASSERT_TRUE(again) << text;
    std::string second;
    ASSERT_TRUE(FormatSettingsText(again.Get(), second));
    EXPECT_EQ(text, second);
    EXPECT_NE(text.find("0 = wstring:\" lead\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("1 = dword:7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("8 = double:0.10000000000000001\n"), std::string::npos) << text;
}

TEST(SettingsText, BadLinesAreRefusedWithTheirNumber) {
    struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"0 = dword:2014\nnonsense\n", "line 2: expected <key> = <type>:<value>"},
        {"x = dword:1\n", "line 1: the key must be a number"},
        {"4294967296 = dword:1\n", "line 1: the key must be a number"},
        {"1 = dword:4294967296\n", "line 1: not a dword"},
        {"1 = dword:-1\n", "line 1: not a dword"},
        {"1 = byte:256\n", "line 1: not a byte"},
        {"1 = long:2147483648\n", "line 1: not a long"},
        {"1 = bool:maybe\n", "line 1: a bool is true or false"},
        {"1 = float:1\n", "line 1: unknown type \"float\""},
        {"1 = wstring:\"open\n", "line 1: missing closing quote"},
        {"1 = string:\xC3\xBC\n", "line 1: a narrow string holds ASCII only"},
        {"1 = hex:ABC\n", "line 1: not hexadecimal bytes"},
        {"1 = dword\n", "line 1: expected <type>:<value>"},
        {"1 = wstring:\"a\\x0\"\n", "line 1: \\x needs two hexadecimal digits"},
        {"1 = wstring:\"a\\x00b\"\n", "line 1: strings cannot hold a NUL character"},
    };
    for (auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.text, &error)) << c.text;
        EXPECT_EQ(error.compare(0, strlen(c.message), c.message), 0) << c.text << " -> " << error;
    }
}

}  // namespace
