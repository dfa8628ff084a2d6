#pragma once
// Runs the product file's signing command line on a packed installer: "{in}" and "{out}" in its
// arguments become the file to sign and the file to write. The command runs in the product
// file's folder, its output goes to the builder's error output (standard output is the report's).
//
// A Windows program is started as a process and waited for. Under Wine, a program that is not a
// Windows executable (the host's osslsigncode, found on the host's PATH or named by path) runs as
// a host program, with {in} and {out} given as host paths.
#include <windows.h>

#include <string>
#include <vector>

namespace builder {

class CSigningCommand {
public:
    explicit CSigningCommand(const std::wstring& commandLine) : m_commandLine(commandLine) {}

    // False, with one line in error, when the program cannot be started or ends with an exit
    // code other than 0.
    bool Run(const std::wstring& folder, const std::wstring& in, const std::wstring& out, std::string& error) const;

private:
    bool RunWindowsProgram(const std::wstring& program, const std::vector<std::wstring>& args,
                           const std::wstring& folder, std::string& error) const;
    bool RunHostProgram(const std::vector<std::wstring>& args, const std::wstring& folder, std::string& error) const;

    std::wstring m_commandLine;
};

// One argument quoted the way the C runtime's command line parser reads it back.
std::wstring QuoteArgument(const std::wstring& argument);

}  // namespace builder
