#pragma once
#include <string>

namespace qlLib {

// A full path split into drive ("C:" or "\\server\share"), folder (with its trailing backslash),
// file name without extension, and extension (with its dot), the way the C runtime's splitpath
// splits it.
class CSplitPath {
public:
    bool Split(const std::wstring& path);

    const std::wstring& Path() const { return m_path; }
    const std::wstring& Drive() const { return m_drive; }
    const std::wstring& Folder() const { return m_folder; }
    const std::wstring& FileName() const { return m_name; }
    const std::wstring& Extension() const { return m_extension; }
    // Drive followed by folder: the containing folder, ending in a backslash.
    std::wstring DriveAndFolder() const { return m_drive + m_folder; }

private:
    std::wstring m_path, m_drive, m_folder, m_name, m_extension;
};

}  // namespace qlLib
