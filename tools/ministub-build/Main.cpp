// ministub-build: makes installers from a stub and its payload, writes their product settings,
// and shows what an installer holds.
#include <windows.h>

#include <algorithm>
#include <map>
#include <cstdio>
#include <string>
#include <vector>

#include "package/FilePacker.h"
#include "package/KeyValueCollectionImpl.h"
#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "tools/ministub-build/ArchiveCheck.h"
#include "tools/ministub-build/InstallerInspector.h"
#include "tools/ministub-build/InstallerMaker.h"
#include "tools/ministub-build/InstallerSettings.h"
#include "tools/ministub-build/PackEntries.h"
#include "tools/ministub-build/PackageBuilder.h"
#include "tools/ministub-build/ProductFile.h"
#include "tools/ministub-build/ProgressLine.h"
#include "tools/ministub-build/SettingsText.h"
#include "tools/ministub-build/SourceDate.h"

using builder::CPackEntry;
using builder::FullPath;
using builder::Utf8ToWide;
using builder::WideToUtf8;

namespace {

const char kHelp[] =
    "ministub-build: makes MiniStub installers and shows what they hold.\n"
    "\n"
    "usage:\n"
    "  ministub-build make PRODUCT-FILE --out INSTALLER.exe [--define NAME=VALUE]... [--json] [--threads 1|2]\n"
    "  ministub-build pack --stub STUB.exe --out INSTALLER.exe [entries...] [--settings FILE]\n"
    "  ministub-build settings INSTALLER.exe [--from FILE] [--set KEY=TYPE:VALUE]... [--remove KEY]...\n"
    "                          [--replace] [--placement signature|table]\n"
    "  ministub-build inspect INSTALLER.exe [--json]\n"
    "  ministub-build --help\n"
    "\n"
    "make: one step from a product file (INI; see README.md) to a finished installer: lists the\n"
    "folders it names and checks every name as the stub will (links and device, stream or reserved\n"
    "names are refused before anything is written), compresses each folder into a 7z archive\n"
    "(LZMA, executables through BCJ2; a progress line on a console) and reads it back, packs, runs\n"
    "the sign command, writes the settings, reads the installer back and compares it with the\n"
    "product file. The output is replaced only when all of that succeeded. A ready .7z is read\n"
    "back with the stub's reader too; one the stub cannot read (a method it has no decoder for,\n"
    "such as PPMd or BZip2, encryption, damage) ends with exit code 2, naming the entry, the item\n"
    "and its method.\n"
    "  --define NAME=VALUE            the value of ${NAME} in the product file\n"
    "  --json                         report sizes, ratios, times and settings as JSON\n"
    "  --threads 1|2                  threads of the match finder (default 2)\n"
    "A product file that cannot be used ends with exit code 2 and names its line.\n"
    "With SOURCE_DATE_EPOCH set (seconds since 1970-01-01 UTC), no file or folder time later than\n"
    "it goes into the archives: the same files make the same bytes (before signing) whenever they\n"
    "were copied. A value that is not such a number ends with exit code 2.\n"
    "\n"
    "pack: the stub's image and its build signature (4 zero bytes for an unsigned stub), then the\n"
    "package (header version 2, index, entries' data in the order given), padded to 8 bytes so\n"
    "that a signature added afterwards starts aligned. The stub must be stripped: nothing may\n"
    "follow its image but its signature. Archives (types 1, 3, 4, 5) are read back with the\n"
    "stub's reader first and refused as make refuses them. Entries (NAME defaults to the file's\n"
    "name):\n"
    "  --ui-package FILE[=NAME]       install UI archive (type 5)\n"
    "  --layout FILE[=NAME]           layout archive (type 1)\n"
    "  --install-package FILE[=NAME]  install package archive (type 3)\n"
    "  --scanner FILE[=NAME]          scanner archive (type 4)\n"
    "  --file FILE[=NAME]             plain file (type 0)\n"
    "  --folder DIR                   every file below DIR as a plain file, named relative to DIR;\n"
    "                                 links below DIR are skipped, never followed\n"
    "  --entry TYPE:FILE[=NAME]       an entry of any type number but 6\n"
    "FILE may contain '=': a value that names an existing file as a whole is that file, otherwise\n"
    "it is split at the first '=' whose left part names an existing file (C:\\a=b\\x.7z=x.7z).\n"
    "NAME must stay inside the folder it is extracted to (no \"..\", drive, root, stream or\n"
    "device names), as the stub requires; the pack fails otherwise.\n"
    "  --settings FILE                write these settings into the new installer (as the\n"
    "                                 settings command does); an installer to be signed gets its\n"
    "                                 settings after signing instead\n"
    "\n"
    "settings: writes product settings into a signed installer's signature or behind it (at the\n"
    "end of an unsigned one); the signature stays valid. Existing settings are kept unless\n"
    "--replace is given; --from, --set and --remove apply in that order. A version-0 block stays\n"
    "version 0.\n"
    "  --placement signature          the settings go into an attribute of the signature, which the\n"
    "                                 strict signature check (EnableCertPaddingCheck) accepts; needs\n"
    "                                 a signed installer, and signing again drops them\n"
    "  --placement table              the settings go into a record behind the signature\n"
    "  default: where the installer has its settings already, else table. Moving them takes them\n"
    "  out of the other place.\n"
    "Settings text has one key per line, '#' starts a comment:\n"
    "  <key> = <type>:<value>        e.g.  0 = wstring:PRODUCT   1 = dword:2014   11 = bool:false\n"
    "  types: bool, int8, byte, int16, word, long, dword, int64, uint64 (decimal or 0x hex), double,\n"
    "  guid ({...}), opaque16 and hex (hexadecimal bytes), string (ASCII), wstring (UTF-8 text);\n"
    "  quote a string (\"...\", with \\\" \\\\ \\n \\r \\t \\xHH) to keep leading or trailing spaces.\n"
    "  20520 = bool:true makes the stub exit with 3010 (restart required), 1641 (restart started)\n"
    "  and 1618 (another install is running), as the stub's switch /DEPLOYCODES does; see\n"
    "  docs/exit-codes.md.\n"
    "\n"
    "inspect: end of module, build signature length, package offset, certificate table, where the\n"
    "settings are (signature or table), block position, version, stored and computed hash, the\n"
    "package index and the settings.\n"
    "  --json                         the same as one JSON object\n"
    "\n"
    "Exit code 0 on success, 1 when the work failed, 2 for a command line that cannot be used\n"
    "(and for an archive the stub cannot read).\n";

void Write(HANDLE handle, const std::string& text) {
    DWORD mode = 0;
    if (::GetConsoleMode(handle, &mode)) {
        std::wstring wide = Utf8ToWide(text);
        DWORD written = 0;
        ::WriteConsoleW(handle, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    DWORD written = 0;
    ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void Print(const std::string& text) {
    Write(::GetStdHandle(STD_OUTPUT_HANDLE), text);
}

int Fail(const std::string& message, int code = 1) {
    Write(::GetStdHandle(STD_ERROR_HANDLE), "ministub-build: " + message + "\n");
    return code;
}

int Usage(const std::string& message) {
    return Fail(message + " (see ministub-build --help)", 2);
}

struct CSettingsEdit {
    std::vector<std::wstring> fromFiles;
    std::vector<std::string> assignments;
    std::vector<std::string> removals;
    bool replace = false;
    std::wstring placement;   // empty: where the settings are already
};

int ApplySettings(const std::wstring& installer, const CSettingsEdit& edit) {
    qlLib::CComPtr<qlLib::IKeyValueCollection> settings = qlLib::CKeyValueCollectionImpl::New();
    if (!settings) return Fail("out of memory");
    std::string error;
    if (!edit.replace && !builder::ReadInstallerSettings(installer, settings.Get(), error)) return Fail(error);
    for (const std::wstring& from : edit.fromFiles) {
        std::string text;
        if (!builder::ReadTextFile(from, text)) return Fail("cannot read " + WideToUtf8(from));
        if (!builder::ParseSettingsText(text, settings.Get(), error)) return Fail(WideToUtf8(from) + ": " + error);
    }
    for (const std::string& assignment : edit.assignments) {
        if (!builder::ParseSettingAssignment(assignment, settings.Get(), error)) {
            return Usage("--set " + assignment + ": " + error);
        }
    }
    for (const std::string& key : edit.removals) {
        char* end = nullptr;
        bool hex = key.size() > 2 && key[0] == '0' && (key[1] == 'x' || key[1] == 'X');
        unsigned long long value = strtoull(key.c_str(), &end, hex ? 16 : 10);
        if (key.empty() || *end || value > 0xFFFFFFFFULL) return Usage("--remove needs a key number: " + key);
        settings->Remove(static_cast<DWORD>(value));
    }
    if (!builder::WriteInstallerSettings(installer, settings.Get(), edit.placement, error)) return Fail(error);
    return 0;
}

int Pack(const std::vector<std::wstring>& args) {
    std::wstring stub, out, settingsFile;
    std::vector<CPackEntry> entries;
    struct { const wchar_t* option; DWORD type; } kinds[] = {
        {L"--ui-package", TARN::eFileType_UIPackage},  {L"--layout", TARN::eFileType_Archive},
        {L"--install-package", TARN::eFileType_InstallPackage}, {L"--scanner", TARN::eFileType_Scanner},
        {L"--file", TARN::eFileType_Extract},
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        if (i + 1 >= args.size()) return Usage("missing value after " + WideToUtf8(a));
        const std::wstring& v = args[++i];
        bool known = false;
        for (const auto& kind : kinds) {
            if (a == kind.option) {
                CPackEntry entry;
                std::string error;
                if (!builder::ParseEntry(v, kind.type, entry, error)) return Fail(error);
                entries.push_back(entry);
                known = true;
            }
        }
        if (known) continue;
        if (a == L"--stub") {
            stub = FullPath(v);
        } else if (a == L"--out") {
            out = FullPath(v);
        } else if (a == L"--settings") {
            settingsFile = v;
        } else if (a == L"--folder") {
            std::wstring root = FullPath(v);
            qlLib::RemoveTrailingBackslashes(root);
            std::string error;
            std::vector<std::wstring> skipped;
            if (!builder::AddFolder(root, root, entries, skipped, error)) return Fail(error);
            for (const std::wstring& link : skipped) Print("skipped link " + WideToUtf8(link) + "\n");
        } else if (a == L"--entry") {
            size_t colon = v.find(L':');
            wchar_t* end = nullptr;
            unsigned long type = colon == std::wstring::npos ? 0 : wcstoul(v.substr(0, colon).c_str(), &end, 10);
            if (colon == std::wstring::npos || colon == 0 || *end) return Usage("--entry needs TYPE:FILE[=NAME]");
            CPackEntry entry;
            std::string error;
            if (!builder::ParseEntry(v.substr(colon + 1), static_cast<DWORD>(type), entry, error)) return Fail(error);
            entries.push_back(entry);
        } else {
            return Usage("unknown option for pack: " + WideToUtf8(a));
        }
    }
    if (stub.empty() || out.empty()) return Usage("pack needs --stub and --out");
    std::string error;
    for (const CPackEntry& entry : entries) {
        bool refused = false;
        if (!builder::CheckReadyArchive(entry.source, entry.name, entry.type, out + L".check", error, refused)) {
            return Fail(error, refused ? 2 : 1);
        }
    }
    builder::CPackageBuilder packageBuilder;
    if (!packageBuilder.Build(stub, entries, out, error)) return Fail(error);
    if (!settingsFile.empty()) {
        CSettingsEdit edit;
        edit.fromFiles.push_back(settingsFile);
        if (int rc = ApplySettings(out, edit)) return rc;
    }
    Print("wrote " + WideToUtf8(out) + " (" + std::to_string(entries.size()) + " entries)\n");
    return 0;
}

int Settings(const std::vector<std::wstring>& args) {
    std::wstring installer;
    CSettingsEdit edit;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        if (a == L"--replace") {
            edit.replace = true;
            continue;
        }
        if (a.compare(0, 2, L"--") != 0) {
            if (!installer.empty()) return Usage("settings takes one installer");
            installer = FullPath(a);
            continue;
        }
        if (i + 1 >= args.size()) return Usage("missing value after " + WideToUtf8(a));
        const std::wstring& v = args[++i];
        if (a == L"--from") {
            edit.fromFiles.push_back(v);
        } else if (a == L"--set") {
            edit.assignments.push_back(WideToUtf8(v));
        } else if (a == L"--remove") {
            edit.removals.push_back(WideToUtf8(v));
        } else if (a == L"--placement") {
            if (v != L"signature" && v != L"table") return Usage("--placement is signature or table");
            edit.placement = v;
        } else {
            return Usage("unknown option for settings: " + WideToUtf8(a));
        }
    }
    if (installer.empty()) return Usage("settings needs an installer");
    return ApplySettings(installer, edit);
}

int Inspect(const std::vector<std::wstring>& args) {
    std::wstring installer;
    bool json = false;
    for (const std::wstring& a : args) {
        if (a == L"--json") {
            json = true;
        } else if (a.compare(0, 2, L"--") == 0) {
            return Usage("unknown option for inspect: " + WideToUtf8(a));
        } else if (installer.empty()) {
            installer = FullPath(a);
        } else {
            return Usage("inspect takes one installer");
        }
    }
    if (installer.empty()) return Usage("inspect needs an installer");
    builder::CInstallerInspector inspector;
    builder::CInstallerReport report;
    std::string error;
    if (!inspector.Inspect(installer, report, error)) return Fail(error);
    Print(json ? builder::CInstallerInspector::FormatJson(report) : builder::CInstallerInspector::FormatText(report));
    return 0;
}

int Make(const std::vector<std::wstring>& args) {
    std::wstring productFile, out;
    std::map<std::wstring, std::wstring> defines;
    bool json = false;
    int threads = 2;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        if (a == L"--json") {
            json = true;
            continue;
        }
        if (a.compare(0, 2, L"--") != 0) {
            if (!productFile.empty()) return Usage("make takes one product file");
            productFile = a;
            continue;
        }
        if (i + 1 >= args.size()) return Usage("missing value after " + WideToUtf8(a));
        const std::wstring& v = args[++i];
        if (a == L"--out") {
            out = FullPath(v);
        } else if (a == L"--define") {
            const size_t equals = v.find(L'=');
            if (equals == std::wstring::npos || equals == 0) return Usage("--define needs NAME=VALUE");
            defines[v.substr(0, equals)] = v.substr(equals + 1);
        } else if (a == L"--threads") {
            if (v != L"1" && v != L"2") return Usage("--threads is 1 or 2");
            threads = v == L"1" ? 1 : 2;
        } else {
            return Usage("unknown option for make: " + WideToUtf8(a));
        }
    }
    if (productFile.empty() || out.empty()) return Usage("make needs a product file and --out");
    builder::CProductFile product;
    std::string error;
    if (!product.Read(productFile, defines, error)) return Fail(error, 2);
    bool reproducible = false;
    FILETIME latest = {};
    if (!builder::ReadSourceDateEpoch(reproducible, latest, error)) return Fail(error, 2);
    builder::CProgressLine progress;
    builder::CInstallerMaker maker(product);
    maker.SetThreads(threads);
    if (reproducible) maker.SetLatestTime(latest);
    maker.SetProgress(&progress);
    if (!maker.Make(out, error)) return Fail(error, maker.Refused() ? 2 : 1);
    if (json) {
        Print(maker.FormatJson());
    } else {
        const builder::CMakeReport& report = maker.Report();
        char line[64];
        snprintf(line, sizeof line, " (%llu bytes, %.1f s)\n", report.installerBytes, report.totalSeconds);
        Print("wrote " + WideToUtf8(out) + line);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("no command given");
    std::wstring command = args[0];
    args.erase(args.begin());
    if (command == L"--help" || command == L"-h" || command == L"/?" || command == L"help") {
        Print(kHelp);
        return 0;
    }
    for (const std::wstring& a : args) {
        if (a == L"--help") {
            Print(kHelp);
            return 0;
        }
    }
    if (command == L"make") return Make(args);
    if (command == L"pack") return Pack(args);
    if (command == L"settings") return Settings(args);
    if (command == L"inspect") return Inspect(args);
    return Usage("unknown command " + WideToUtf8(command));
}
