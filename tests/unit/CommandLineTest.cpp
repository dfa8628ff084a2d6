#include <gtest/gtest.h>

#include "runtime/CommandLine.h"

using qlLib::CCommandLine;

namespace {

CCommandLine Parsed(const wchar_t* line, bool expectOk = true) {
    CCommandLine c;
    EXPECT_EQ(c.Parse(line, L"/-"), expectOk) << "command line: " << testing::PrintToString(std::wstring(line));
    return c;
}

}  // namespace

TEST(CommandLine, SplitsTokensIntoSwitchesQuotedAndPlainEntries) {
    CCommandLine c = Parsed(L"  \"C:\\Program Files\\setup.exe\"   /qn -X plain  \"/qn\" ");
    const auto& e = c.Entries();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_FALSE(e[0].isSwitch);
    EXPECT_EQ(e[0].text, L"C:\\Program Files\\setup.exe");
    EXPECT_EQ(e[0].raw, L"\"C:\\Program Files\\setup.exe\"");
    EXPECT_TRUE(e[1].isSwitch);
    EXPECT_EQ(e[1].text, L"qn");
    EXPECT_TRUE(e[2].isSwitch);
    EXPECT_EQ(e[2].text, L"X");
    EXPECT_FALSE(e[3].isSwitch);
    EXPECT_EQ(e[3].text, L"plain");
    // A quoted token is never a switch, whatever it holds.
    EXPECT_FALSE(e[4].isSwitch);
    EXPECT_EQ(e[4].text, L"/qn");
    EXPECT_TRUE(c.Has(L"qn"));
    EXPECT_TRUE(c.Has(L"QN"));
    EXPECT_TRUE(c.Has(L"x"));
    EXPECT_FALSE(c.Has(L"plain"));
    EXPECT_FALSE(c.Has(L""));
    EXPECT_FALSE(c.Has(nullptr));
}

TEST(CommandLine, SwitchValuesComeFromTheNextNonSwitchEntry) {
    CCommandLine c = Parsed(L"stub.exe /LOGDIR \"C:\\Log Folder\\run 1\" /MEDIA");
    ASSERT_NE(c.GetValue(L"logdir"), nullptr);
    EXPECT_STREQ(c.GetValue(L"LOGDIR"), L"C:\\Log Folder\\run 1");
    // Last token: present, but without a value.
    EXPECT_TRUE(c.Has(L"MEDIA"));
    EXPECT_EQ(c.GetValue(L"MEDIA"), nullptr);
    std::vector<std::wstring> values;
    EXPECT_FALSE(c.GetValues(L"MEDIA", values));
    // Absent: success with nothing.
    values.clear();
    EXPECT_TRUE(c.GetValues(L"PATH", values));
    EXPECT_TRUE(values.empty());
    EXPECT_EQ(c.GetValue(L"PATH"), nullptr);
}

TEST(CommandLine, ValueThatIsASwitchDoesNotCount) {
    CCommandLine c = Parsed(L"stub.exe /MEDIA /qn /SHOWERRORS \"-1\"");
    EXPECT_EQ(c.GetValue(L"MEDIA"), nullptr);
    EXPECT_TRUE(c.Has(L"qn"));
    EXPECT_STREQ(c.GetValue(L"SHOWERRORS"), L"-1");
}

TEST(CommandLine, RepeatedSwitchesCollectEveryValueAndFailOnAMissingOne) {
    CCommandLine c = Parsed(L"stub.exe /PATH a -path b /PATH");
    std::vector<std::wstring> values;
    EXPECT_FALSE(c.GetValues(L"PATH", values));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(c.GetValue(L"PATH"), nullptr);

    CCommandLine d = Parsed(L"stub.exe /PATH a /MEDIA m /PATH b");
    const wchar_t* const names[] = {L"PATH", L"MEDIA"};
    values.clear();
    EXPECT_TRUE(d.GetValues(names, 2, values));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"a", L"b", L"m"}));
    EXPECT_STREQ(d.GetValue(names, 2), L"a");
    const wchar_t* const flags[] = {L"qn", L"MEDIA"};
    EXPECT_TRUE(d.HasAny(flags, 2));
    EXPECT_FALSE(d.HasAny(flags, 1));
}

TEST(CommandLine, ValueIsNotScannedAsASwitchName) {
    // "x" after /TEST is the folder, not another /x.
    CCommandLine c = Parsed(L"stub.exe /TEST x /TEST y");
    std::vector<std::wstring> values;
    EXPECT_TRUE(c.GetValues(L"TEST", values));
    EXPECT_EQ(values, (std::vector<std::wstring>{L"x", L"y"}));
}

TEST(CommandLine, ColonFormIsOneSwitchName) {
    CCommandLine c = Parsed(L"stub.exe /LOGDIR:C:\\logs");
    EXPECT_FALSE(c.Has(L"LOGDIR"));
    EXPECT_TRUE(c.Has(L"LOGDIR:C:\\logs"));
}

TEST(CommandLine, UnclosedQuoteFailsBeforeAnyEntry) {
    CCommandLine c = Parsed(L"stub.exe /qn /x \"C:\\no end", false);
    EXPECT_TRUE(c.Entries().empty());
    EXPECT_FALSE(c.Has(L"qn"));
    CCommandLine lone = Parsed(L"stub.exe /qn \"", false);
    EXPECT_TRUE(lone.Entries().empty());
}

TEST(CommandLine, LoneSwitchCharacterKeepsTheEntriesBeforeIt) {
    CCommandLine c = Parsed(L"stub.exe /qn - /x", false);
    EXPECT_TRUE(c.Has(L"qn"));
    EXPECT_FALSE(c.Has(L"x"));
    EXPECT_EQ(c.Entries().size(), 2u);
    CCommandLine slash = Parsed(L"stub.exe /stage /", false);
    EXPECT_TRUE(slash.Has(L"stage"));
}

TEST(CommandLine, QuotedStringEndsAtTheNextQuote) {
    CCommandLine c = Parsed(L"stub.exe \"a b\"c /qn \"\" \"x\"");
    const auto& e = c.Entries();
    ASSERT_EQ(e.size(), 6u);
    EXPECT_EQ(e[1].text, L"a b");
    EXPECT_EQ(e[2].text, L"c");
    EXPECT_TRUE(e[3].isSwitch);
    EXPECT_EQ(e[4].text, L"");
    EXPECT_EQ(e[5].text, L"x");
}

TEST(CommandLine, EmptyInputsFail) {
    CCommandLine c;
    EXPECT_FALSE(c.Parse(L"", L"/-"));
    EXPECT_FALSE(c.Parse(nullptr, L"/-"));
    EXPECT_FALSE(c.Parse(L"stub.exe /qn", L""));
    EXPECT_TRUE(Parsed(L"    ").Entries().empty());
}

TEST(CommandLine, LongAndNonAsciiCommandLines) {
    std::wstring line = L"stub.exe /PATH \"";
    line.append(32767 - line.size() - 1, L'\u00e9');
    line.push_back(L'"');
    ASSERT_EQ(line.size(), 32767u);
    CCommandLine c = Parsed(line.c_str());
    ASSERT_NE(c.GetValue(L"PATH"), nullptr);
    EXPECT_EQ(std::wstring(c.GetValue(L"PATH")).size(), 32767u - 17u);

    CCommandLine u = Parsed(L"stub.exe /DEFLANG \u65e5\u672c\u8a9e /\u00dcBER");
    EXPECT_STREQ(u.GetValue(L"DEFLANG"), L"\u65e5\u672c\u8a9e");
    EXPECT_TRUE(u.Has(L"\u00dcBER"));
}

TEST(CommandLine, ParseReadsTheProcessCommandLine) {
    CCommandLine c;
    ASSERT_TRUE(c.Parse());
    ASSERT_FALSE(c.Entries().empty());
    EXPECT_FALSE(c.Entries()[0].isSwitch);
}
