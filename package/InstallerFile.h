#pragma once
// The running installer's own file. Its package, its image (which becomes the cached stub) and
// its signature are read from it long after the start, and the installer may have been started
// from a folder others may write. So the file is opened once, at the start, without write or
// delete sharing: from then on nobody can change, rename or replace it while the run lives. And it
// counts as the installer's own only when the system finds it to be the very file this process's
// image was mapped from: a file put in its place before the open is another file, even when its
// image is byte for byte the same.
#include <windows.h>

#include <string>

#include "package/FileHandleWrapper.h"
#include "package/FilePacker.h"

namespace TARN {

class CInstallerFile {
public:
    // Opens path, the running program's own, and judges it. false when it cannot be opened or is
    // not the file this process runs from (Error tells which); nothing stays open then. Opened
    // before the run has a log: whoever refuses to read the file says why.
    bool Open(const std::wstring& path);
    // Whether Open found and holds the running program's own file.
    bool IsHeld() const { return m_file.IsOpen(); }
    // Why Open failed: the system's error, or ERROR_FILE_INVALID for another file at the path.
    DWORD Error() const { return m_error; }
    qlLib::CFileHandleWrapper& File() { return m_file; }
    // Whether the run may read the installer's file: when it is held, or in a run without
    // administrator rights, which reads it by its path as it always did (whoever could swap the
    // file there gains no more than the rights they already have).
    bool MayBeRead() const;
    // S_OK when the run may read the file (MayBeRead); otherwise 0x80070002, the code of a missing
    // file, after one trace line that names path.
    HRESULT Readable(const std::wstring& path) const;
    // Holds unpacker to the held file, so that it reads no other; Readable's answer when none is
    // held.
    HRESULT Hold(CFilePacker& unpacker, const std::wstring& path) const;
    // Lets go of the file (a run that deletes its own file).
    void Close() { m_file.Close(); }

private:
    qlLib::CFileHandleWrapper m_file;
    DWORD m_error = ERROR_FILE_NOT_FOUND;
};

}  // namespace TARN
