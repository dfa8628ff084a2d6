#pragma once
// The product file: everything `make` needs to turn a product's folders into a signed installer,
// in INI form. Paths are relative to the file; ${NAME} takes a value given on the command line.
//
//   [installer]
//   stub = PATH                      the stub (signed or not)
//   sign = COMMAND LINE              optional; {in} and {out} name the files it reads and writes
//   placement = signature | table    where the settings go (default: table)
//   compression = 0..9               LZMA level (default 5)
//   [payload]                        entries in this order; "| NAME" names the entry
//   ui-package = FOLDER | FILE.7z    type 5, default name QDX-TRRootuiPackage.7z
//   install-package = FOLDER         type 3, default name QDX-TRRootInstallPackage.7z
//   layout = FOLDER                  type 1, default name QDX-TRRoot.7z
//   scanner = FOLDER                 type 4, default name scanner.7z
//   file = FILE [| NAME]             a plain file (type 0); repeatable
//   entry = TYPE:FILE [| NAME]       any other entry; repeatable
//   [settings]
//   product = ID    version = A.B.C.D    isolation = {GUID}    isolation-root = KEY
//   language = CODE    NUMBER = TYPE:VALUE (the settings text form)
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "package/ValueCollection.h"
#include "runtime/ComPtr.h"

namespace builder {

struct CProductEntry {
    DWORD type = 0;
    std::wstring source;   // full path
    std::wstring name;     // entry name in the package
    bool folder = false;   // compressed into a 7z archive by make
    int line = 0;
};

class CProductFile {
public:
    // Reads and checks the file: every path exists, every key is known, every value parses.
    // error names the file and line ("product.ini:12: ...").
    bool Read(const std::wstring& path, const std::map<std::wstring, std::wstring>& defines, std::string& error);

    const std::wstring& Path() const { return m_path; }
    const std::wstring& Stub() const { return m_stub; }
    const std::vector<CProductEntry>& Entries() const { return m_entries; }
    const std::wstring& SignCommand() const { return m_sign; }
    const std::wstring& Folder() const { return m_folder; }   // where the signing command runs
    const std::wstring& Placement() const { return m_placement; }
    int Compression() const { return m_compression; }
    qlLib::IKeyValueCollection* Settings() const { return m_settings.Get(); }

private:
    bool Line(const std::string& section, const std::string& key, const std::string& value, int line,
              std::string& message);
    bool Source(const std::string& value, bool allowFolder, CProductEntry& entry, std::string& message);

    std::wstring m_path, m_folder, m_stub, m_sign, m_placement;
    int m_compression = 5;
    std::vector<CProductEntry> m_entries;
    std::map<std::string, int> m_seen;   // single-valued keys already given
    qlLib::CComPtr<qlLib::IKeyValueCollection> m_settings;
};

}  // namespace builder
