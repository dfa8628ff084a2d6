// Which language module a user gets, the language folders a cache holds, and the language
// files and codes around them.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "runtime/FolderUtils.h"
#include "runtime/LanguageInfo.h"
#include "runtime/ResourceModuleLocator.h"
#include "support/TestSupport.h"
#include "system/Utils.h"

using namespace testing_support;
using qlLib::CResourceModuleLocator;

namespace {

class CFixedLanguages : public qlLib::CLanguageSources {
public:
    LANGID current = 0, user = 0, system = 0, defaultLanguage = 0;
    LANGID CurrentUILanguage() const override { return current; }
    LANGID UserUILanguage() const override { return user; }
    LANGID SystemUILanguage() const override { return system; }
    LANGID DefaultLanguage() const override { return defaultLanguage; }
};

class LanguageLookup : public testing::Test {
protected:
    // base\folder\InsMUI.loc (any content: only its presence counts here).
    void AddModule(const std::wstring& folder, const wchar_t* name = L"InsMUI.loc") {
        const std::wstring path = temp.Join(folder);
        ASSERT_TRUE(qlLib::CreateFolderTree(path, nullptr));
        ASSERT_TRUE(WriteTextFile(path + L"\\" + name, "module"));
    }
    std::wstring Find(const CFixedLanguages& languages, LANGID& language, const wchar_t* module = L"InsMUI.loc") {
        std::wstring path;
        CResourceModuleLocator(languages).FindResourceModule(temp.Path(), module, path, language);
        return path;
    }

    CTempFolder temp;
};

}  // namespace

TEST_F(LanguageLookup, TheFirstPreferredLanguageWithAModuleWins) {
    AddModule(L"09\\01");
    AddModule(L"07\\01");
    CFixedLanguages languages;
    LANGID language = 0;

    languages.user = 0x0409;
    EXPECT_EQ(Find(languages, language), temp.Join(L"09\\01\\InsMUI.loc"));
    EXPECT_EQ(language, 0x0409);

    // The user's product choice comes first; a name without extension finds the module too.
    languages.current = 0x0407;
    EXPECT_EQ(Find(languages, language, L"InsMUI"), temp.Join(L"07\\01\\InsMUI.loc"));
    EXPECT_EQ(language, 0x0407);

    // A French user: the system's language, then the product's default, then fallback.dat.
    languages = CFixedLanguages();
    languages.user = 0x040C;
    languages.system = 0x0407;
    EXPECT_EQ(Find(languages, language), temp.Join(L"07\\01\\InsMUI.loc"));
    EXPECT_EQ(language, 0x0407);
    languages.system = 0x040C;
    languages.defaultLanguage = 0x0409;
    Find(languages, language);
    EXPECT_EQ(language, 0x0409);
    languages.defaultLanguage = 0;
    EXPECT_TRUE(Find(languages, language).empty());
    EXPECT_EQ(language, 0);
    ASSERT_TRUE(WriteTextFile(temp.Join(L"fallback.dat"), "0409"));
    EXPECT_EQ(Find(languages, language), temp.Join(L"09\\01\\InsMUI.loc"));
    EXPECT_EQ(language, 0x0409);

    // "*.*" only asks which language folder would be used.
    languages = CFixedLanguages();
    languages.user = 0x0407;
    EXPECT_FALSE(Find(languages, language, L"*.*").empty());
    EXPECT_EQ(language, 0x0407);
}

TEST_F(LanguageLookup, TheVersionMapMovesALanguageAndNamesTheFolderLanguages) {
    AddModule(L"es\\0a\\03");
    AddModule(L"0a\\03");
    AddModule(L"09\\01");
    AddModule(L"evil\\0c\\01");
    ASSERT_TRUE(WriteTextFile(temp.Join(L"Langver.map"), " c0a = es \r\n409=\n40c=..\\evil\nnonsense\n"));
    CFixedLanguages languages;
    languages.user = 0x0C0A;
    LANGID language = 0;
    EXPECT_EQ(Find(languages, language), temp.Join(L"es\\0a\\03\\InsMUI.loc"));
    EXPECT_EQ(language, 0x0C0A);
    // A subpath that climbs out of the base folder is ignored.
    languages.user = 0x040C;
    EXPECT_TRUE(Find(languages, language).empty());

    std::vector<LANGID> found;
    ASSERT_TRUE(CResourceModuleLocator::FindLanguages(temp.Path(), found));
    EXPECT_EQ(found, std::vector<LANGID>{0x0C0A});
}

TEST_F(LanguageLookup, TheSubstituteMapStandsInForAMissingLanguage) {
    AddModule(L"0a\\01");
    ASSERT_TRUE(WriteTextFile(temp.Join(L"maplngid.dat"), "0c0a 040a,0816 0416"));
    CFixedLanguages languages;
    languages.user = 0x0C0A;
    LANGID language = 0;
    EXPECT_EQ(Find(languages, language), temp.Join(L"0a\\01\\InsMUI.loc"));
    EXPECT_EQ(language, 0x040A);
    EXPECT_EQ(CResourceModuleLocator::SubstituteLanguage(0x0816, temp.Path()), 0x0416);
}

TEST_F(LanguageLookup, AnOversizedSubstituteMapIsIgnored) {
    AddModule(L"0a\\01");
    ASSERT_TRUE(WriteTextFile(temp.Join(L"maplngid.dat"), "0c0a 040a," + std::string(900, ' ')));
    CFixedLanguages languages;
    languages.user = 0x0C0A;
    LANGID language = 0;
    EXPECT_TRUE(Find(languages, language).empty());
}

TEST_F(LanguageLookup, LanguageFoldersAreThoseWithSomethingInThem) {
    AddModule(L"09\\01");
    AddModule(L"07\\01");
    AddModule(L"0C\\01");
    AddModule(L"1a", L"module.loc");                               // a language without sublanguage
    ASSERT_TRUE(qlLib::CreateFolderTree(temp.Join(L"0a\\01"), nullptr));   // empty: no language
    AddModule(L"xyz\\01");                                           // not hexadecimal
    AddModule(L"0b\\123");                                           // sublanguage too long
    std::vector<LANGID> found;
    ASSERT_TRUE(CResourceModuleLocator::FindLanguages(temp.Path() + L"\\", found));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<LANGID>{0x001A, 0x0407, 0x0409, 0x040C}));

    CTempFolder empty;
    EXPECT_FALSE(CResourceModuleLocator::FindLanguages(empty.Path(), found));
}

TEST(LanguageCodes, StringsFilesAndTheFallbackMarker) {
    std::wstring text;
    EXPECT_TRUE(qlLib::LangIDString(0x0409, nullptr, text));
    EXPECT_EQ(text, L"0901");
    EXPECT_TRUE(qlLib::LangIDString(0x0C0C, L"\\", text));
    EXPECT_EQ(text, L"0C\\03");
    EXPECT_TRUE(qlLib::LangIDString(0x0512, nullptr, text));
    EXPECT_EQ(text, L"11201");
    EXPECT_FALSE(qlLib::LangIDString(0x0400, nullptr, text));
    EXPECT_TRUE(text.empty());

    CTempFolder temp;
    // ASCII, UTF-16LE after a byte order mark, and a file too large to be a language.
    ASSERT_TRUE(WriteTextFile(temp.Join(L"fallback.dat"), "0407"));
    EXPECT_EQ(qlLib::ReadFallbackLanguage(temp.Path()), 0x0407);
    const unsigned char wide[] = {0xFF, 0xFE, '0', 0, '4', 0, '0', 0, 'C', 0};
    ASSERT_TRUE(WriteFileBytes(temp.Join(L"fallback.dat"), wide, sizeof(wide)));
    EXPECT_EQ(qlLib::ReadFallbackLanguage(temp.Path()), 0x040C);
    ASSERT_TRUE(WriteTextFile(temp.Join(L"fallback.dat"), "0409           "));
    EXPECT_EQ(qlLib::ReadFallbackLanguage(temp.Path()), 0);

    // The marker holds the LANGID of the default language, once, read-only.
    CTempFolder cache;
    const std::wstring marker = cache.Join(L"fallback.dat");
    EXPECT_EQ(TARN::CUtils::WriteLanguageFallback(L"0901", cache.Path().c_str()), S_OK);
    std::vector<unsigned char> bytes;
    ASSERT_TRUE(ReadFileBytes(marker, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0409");
    EXPECT_NE(::GetFileAttributesW(marker.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(TARN::CUtils::WriteLanguageFallback(L"0C03", cache.Path().c_str()), S_OK);
    ASSERT_TRUE(ReadFileBytes(marker, bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0409");
    // Not for a code of another length, nor into a cache that does not exist.
    CTempFolder other;
    EXPECT_EQ(TARN::CUtils::WriteLanguageFallback(L"409", other.Path().c_str()), S_OK);
    EXPECT_EQ(TARN::CUtils::WriteLanguageFallback(L"0C03", other.Join(L"missing").c_str()), S_OK);
    EXPECT_EQ(::GetFileAttributesW(other.Join(L"fallback.dat").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesW(other.Join(L"missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(TARN::CUtils::WriteLanguageFallback(L"0C03", other.Path().c_str()), S_OK);
    ASSERT_TRUE(ReadFileBytes(other.Join(L"fallback.dat"), bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0C0C");
    ::SetFileAttributesW(marker.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW(other.Join(L"fallback.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
}
