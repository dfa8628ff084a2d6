// MiniStub.exe as a process: exit code, trace log, and what bad command lines do to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "BuildPaths.h"
#include "runtime/Crc32.h"
#include "support/TestInstaller.h"
#include "support/TestSupport.h"

using namespace testing_support;

namespace {

// An installer of MiniStub.exe in its own folder, for this test's silo, with an isolate.ini naming
// that silo and debug options that send the trace lines to a log folder until the install run
// switches to its own log.
class MiniStubRun : public testing::Test {
protected:
    void SetUp() override {
        app = temp.Join(L"app");
        logs = temp.Join(L"logs");
        ASSERT_TRUE(::CreateDirectoryW(app.c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
        exe = app + L"\\MiniStub.exe";
        product.UseSilo(isolation.Silo());
        // Runs without "qn" show the install UI: the real one, which closes when the engine ends.
        product.realUI = true;
        ASSERT_TRUE(product.Make(ToWinePath(MINISTUB_EXE_UNIX_PATH), exe));
    }

    void WriteIsolationFile() {
        std::string ini = "[isolation]\r\nsilo=";
        for (wchar_t c : isolation.Silo()) ini.push_back(static_cast<char>(c));
        ini += "\r\n";
        ASSERT_TRUE(WriteTextFile(app + L"\\isolate.ini", ini));
    }

    void EnableFileTrace() {
        const std::wstring key = L"Quillon\\Debug\\DebugOutput";
        ASSERT_TRUE(isolation.SetDword(key, L"DebugType", 1));
        ASSERT_TRUE(isolation.SetDword(key, L"OutputToFile", 1));
        ASSERT_TRUE(isolation.SetDword(key, L"OutputToDebugger", 0));
        ASSERT_TRUE(isolation.SetString(key, L"Directory", logs));
    }

    DWORD Run(const std::wstring& arguments) {
        DWORD code = 0xDEADBEEF;
        EXPECT_TRUE(RunProgram(exe, arguments, 60000, code));
        return code;
    }

    // Lines of the one log file the run wrote through the debug options.
    std::vector<std::wstring> LogLines() {
        const auto files = ListFiles(logs, L"*.log");
        EXPECT_EQ(files.size(), 1u) << testing::PrintToString(files);
        if (files.size() != 1) return {};
        EXPECT_EQ(files[0].rfind(L"InstStub-0x", 0), 0u) << testing::PrintToString(files[0]);
        std::wstring text;
        bool bom = false;
        EXPECT_TRUE(ReadUtf16File(logs + L"\\" + files[0], text, &bom));
        EXPECT_TRUE(bom);
        return SplitLines(text);
    }

    static bool EndsWith(const std::wstring& s, const std::wstring& tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    }

    CTempFolder temp;
    CTestIsolationRoot isolation;
    CTestInstaller product;
    std::wstring app, logs, exe;
};

}  // namespace

TEST_F(MiniStubRun, ExitsWithItsResultAndEndsTheLogWithTheTimingLines) {
    WriteIsolationFile();
    EnableFileTrace();
    EXPECT_EQ(Run(L"/qn"), 0u);
    // The debug options' log, with their default prefixes (date-time, module, process and thread
    // ids), holds what came before the install run's own log took over.
    const auto early = LogLines();
    ASSERT_FALSE(early.empty());
    EXPECT_NE(early.front().find(L" : InstStub : 0x"), std::wstring::npos) << testing::PrintToString(early.front());

    const auto lines = SplitLines(product.RunLog());
    ASSERT_GE(lines.size(), 2u);
    const std::wstring& timing = lines[lines.size() - 2];
    const size_t at = timing.find(L"Information : Start: ");
    ASSERT_NE(at, std::wstring::npos) << testing::PrintToString(timing);
    DWORD start = 0, end = 0, total = 0;
    ASSERT_EQ(swscanf(timing.c_str() + at, L"Information : Start: %lu, End: %lu, Total: %lu", &start, &end, &total), 3);
    EXPECT_EQ(total, end - start);
    EXPECT_LT(total, 30000u);
    EXPECT_TRUE(EndsWith(lines.back(), L" : Information : MiniStub: Returned (0x00000000)"))
        << testing::PrintToString(lines.back());
}

TEST_F(MiniStubRun, WithoutIsolationFileNothingIsLogged) {
    EnableFileTrace();
    EXPECT_EQ(Run(L"/qn"), 0u);
    EXPECT_TRUE(ListFiles(logs, L"*.log").empty());
    EXPECT_TRUE(ListFiles(app, L"*.log").empty());
}

TEST_F(MiniStubRun, DebugTypeOfTheWrongTypeKeepsTheLogOff) {
    WriteIsolationFile();
    EnableFileTrace();
    ASSERT_TRUE(isolation.SetString(L"Quillon\\Debug\\DebugOutput", L"DebugType", L"1"));
    EXPECT_EQ(Run(L""), 0u);
    EXPECT_TRUE(ListFiles(logs, L"*.log").empty());
}

TEST_F(MiniStubRun, BadCommandLinesAreTracedAndTheRunGoesOn) {
    WriteIsolationFile();
    EnableFileTrace();
    std::wstring longLine = L"/PATH \"";
    // The whole command line (quoted program path, space, arguments) at the system's limit.
    const size_t room = 32766 - (exe.size() + 3);
    longLine.append(room - longLine.size() - 1, L'\u00e9');
    longLine.push_back(L'"');
    struct Case {
        std::wstring arguments;
        bool parses;
    };
    const Case cases[] = {
        {L"/qn /MEDIA \"C:\\never closed", false},   // unclosed quote: no switch at all
        {L"/x - /qn", false},                        // lone hyphen: /x still counts
        {L"/DEFLANG \u65e5\u672c\u8a9e /\u00dcBER \"\" \"", false},
        {longLine, true},
        {L"/DEFLANG \u65e5\u672c\u8a9e /\u00dcBER \"\"", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.arguments), 0u) << c.arguments.size() << " characters";
        const auto log = LogLines();
        ASSERT_FALSE(log.empty());
        int parseFailures = 0;
        for (const auto& line : log)
            if (line.find(L"Error : CInstallManager::Initialize(118) : failed to parse the command line [") !=
                std::wstring::npos)
                ++parseFailures;
        EXPECT_EQ(parseFailures, c.parses ? 0 : 1) << c.arguments.size() << " characters";
        for (const auto& name : ListFiles(logs, L"*.log")) ::DeleteFileW((logs + L"\\" + name).c_str());
    }
}

// The 7z reader reports a damaged header by throwing inside the shipped stub (whose unwind tables
// the link-time optimisation writes): the run must catch it and end with the reader's result.
TEST_F(MiniStubRun, AnArchiveHeaderThatFailsItsCheckEndsTheRunWithTheReadersResult) {
    std::vector<unsigned char> installer, stub;
    ASSERT_TRUE(ReadFileBytes(exe, installer));
    ASSERT_TRUE(ReadFileBytes(ToWinePath(MINISTUB_EXE_UNIX_PATH), stub));
    // The first 7z archive of the package (the stub's own code holds the signature too).
    const unsigned char kSignature[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    const auto found = std::search(installer.begin() + stub.size(), installer.end(), std::begin(kSignature),
                                   std::end(kSignature));
    ASSERT_NE(found, installer.end());
    const size_t start = static_cast<size_t>(found - installer.begin());
    ASSERT_LE(start + 32, installer.size());
    // Another CRC for the next header, and the start header's own CRC made to match: the start
    // header reads well, and the next header fails its check inside the reader.
    installer[start + 28] ^= 0x5A;
    const DWORD crc = qlLib::Crc32(installer.data() + start + 12, 20);
    memcpy(installer.data() + start + 8, &crc, sizeof(crc));
    ASSERT_TRUE(WriteFileBytes(exe, installer.data(), installer.size()));
    const DWORD kStreamNotArchive = 0x80047C73;
    const DWORD code = Run(L"/qn");
    EXPECT_EQ(code, kStreamNotArchive) << std::hex << code;
}
