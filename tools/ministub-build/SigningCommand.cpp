#include "tools/ministub-build/SigningCommand.h"

#include <shellapi.h>

#include "runtime/Handles.h"
#include "runtime/PathUtils.h"
#include "tools/ministub-build/PackEntries.h"
#include "tools/ministub-build/SettingsText.h"

namespace builder {

namespace {

typedef char*(__cdecl* UnixFileName)(const wchar_t* path);
typedef LONG(__cdecl* UnixSpawn)(char* const argv[], int wait);

std::wstring Replace(std::wstring text, const std::wstring& from, const std::wstring& to) {
    for (size_t at = text.find(from); at != std::wstring::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

bool IsWindowsExecutable(const std::wstring& path) {
    qlLib::CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    char magic[2] = {};
    DWORD read = 0;
    return file && ::ReadFile(file.Get(), magic, 2, &read, nullptr) && read == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

// Wine's path conversion; empty when not running under Wine or the path has no host form.
std::string HostPath(const std::wstring& path) {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto convert = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(kernel ? ::GetProcAddress(kernel, "wine_get_unix_file_name") : nullptr));
    char* host = convert ? convert(path.c_str()) : nullptr;
    if (!host) return std::string();
    std::string result = host;
    ::HeapFree(::GetProcessHeap(), 0, host);
    return result;
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

bool CSigningCommand::Run(const std::wstring& folder, const std::wstring& in, const std::wstring& out,
                          std::string& error) const {
    int count = 0;
    LPWSTR* parsed = ::CommandLineToArgvW(m_commandLine.c_str(), &count);
    if (!parsed || count < 1) {
        if (parsed) ::LocalFree(parsed);
        return error = "the sign command is empty", false;
    }
    std::vector<std::wstring> args(parsed, parsed + count);
    ::LocalFree(parsed);

    std::wstring program = args[0];
    if (program.find_first_of(L"\\/") != std::wstring::npos && !(program.size() > 1 && program[1] == L':') &&
        program[0] != L'\\' && program[0] != L'/') {
        std::wstring joined;
        qlLib::JoinPath(joined, folder, program);
        program = joined;
    }
    wchar_t found[MAX_PATH * 2] = {};
    if (::SearchPathW(nullptr, program.c_str(), L".exe", MAX_PATH * 2, found, nullptr) && IsWindowsExecutable(found)) {
        for (std::wstring& arg : args) arg = Replace(Replace(arg, L"{in}", in), L"{out}", out);
        return RunWindowsProgram(found, args, folder, error);
    }
    const std::string hostIn = HostPath(in), hostOut = HostPath(out);
    if (hostIn.empty() || hostOut.empty()) return error = "cannot find the signing program " + WideToUtf8(args[0]), false;
    for (std::wstring& arg : args) arg = Replace(Replace(arg, L"{in}", Utf8ToWide(hostIn)), L"{out}", Utf8ToWide(hostOut));
    if (::GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES) args[0] = Utf8ToWide(HostPath(FullPath(program)));
    return RunHostProgram(args, folder, error);
}

bool CSigningCommand::RunWindowsProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                                        const std::wstring& folder, std::string& error) const {
    std::wstring commandLine;
    for (const std::wstring& arg : args) commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(arg);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                          &startup, &process)) {
        return error = "cannot start " + WideToUtf8(program) + " (error " + std::to_string(::GetLastError()) + ")",
               false;
    }
    qlLib::CFileHandle processHandle(process.hProcess), threadHandle(process.hThread);
    DWORD code = 1;
    if (::WaitForSingleObject(process.hProcess, INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process.hProcess, &code) || code != 0) {
        char text[16];
        snprintf(text, sizeof text, "0x%08lX", code);
        return error = "the sign command failed with exit code " + std::string(text), false;
    }
    return true;
}

bool CSigningCommand::RunHostProgram(const std::vector<std::wstring>& args, const std::wstring& folder,
                                     std::string& error) const {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto spawn = reinterpret_cast<UnixSpawn>(
        reinterpret_cast<void*>(ntdll ? ::GetProcAddress(ntdll, "__wine_unix_spawnvp") : nullptr));
    const std::string hostFolder = HostPath(folder);
    if (!spawn || hostFolder.empty()) return error = "cannot find the signing program " + WideToUtf8(args[0]), false;
    // The host program runs in the folder with its output on the error output.
    std::vector<std::string> strings = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\" 1>&2", hostFolder};
    for (const std::wstring& arg : args) strings.push_back(WideToUtf8(arg));
    std::vector<char*> argv;
    for (std::string& s : strings) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    const LONG status = spawn(argv.data(), 1);
    if (status != 0) return error = "the sign command failed with exit code " + std::to_string(status), false;
    return true;
}

}  // namespace builder
