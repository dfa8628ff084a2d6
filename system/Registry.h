#pragma once
// Registry keys opened by force: when a key refuses to open because of its permissions, access
// is granted level by level down the key path and, as a last resort, a level's permissions are
// reset to what it inherits from its parent; then the open is tried once more.
#include <windows.h>

#include <string>

#include "runtime/RegKey.h"

namespace TARN {

class CRegistry : public qlLib::CRegKey {
public:
    // Opens (or with create, creates) root\subkey; a missing key is never forced.
    bool Open(const wchar_t* subkey, HKEY root, REGSAM access, bool create = false, DWORD options = 0);
    // Grants and resets permissions down the path so that it opens; S_OK or the failure.
    HRESULT ForceOpenKey(const wchar_t* subkey, HKEY root, bool create);
    // Opens with KEY_ALL_ACCESS, granting it to the process user, the administrators and the
    // system first when refused. S_OK or the HRESULT of the open error.
    HRESULT EnsureOpen(HKEY root, const wchar_t* subkey, bool create);
    // This key's path joined with name, read-only, never created.
    bool OpenSubkey(const CRegistry& parent, const wchar_t* name);
    // This key's path joined with "Reboot": written, created volatile.
    bool CreateRebootSubkey(const CRegistry& parent);
    // Removes the open key's subkeys and values, forcing access where it is refused.
    bool DeleteTree();

    const std::wstring& GetPath() const { return m_path; }
    HKEY GetRoot() const { return m_root; }

    // "MACHINE", "CURRENT_USER", "CLASSES_ROOT", "USERS"; null for any other root.
    static const wchar_t* RootName(HKEY root);

private:
    std::wstring m_path;
    HKEY m_root = nullptr;
};

}  // namespace TARN
