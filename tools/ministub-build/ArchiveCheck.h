#pragma once
// Reading archives back with the stub's own 7z reader before they go into a package: an archive
// that does not extract here does not extract on the customer's machine either.
#include <windows.h>

#include <string>

namespace builder {

const size_t kAnyItemCount = static_cast<size_t>(-1);

// Extracts archive into scratch (removed again afterwards) with the stub's reader; items is the
// number of items it must hold, or kAnyItemCount. On failure error says why, naming the item and
// its method when an item does not extract, and archiveAtFault tells whether the archive is to
// blame (a method without a decoder, encryption, damage, a name the stub refuses) rather than
// this machine (memory, the scratch folder's disk).
bool CheckArchive(const std::wstring& archive, size_t items, const std::wstring& scratch, std::string& error,
                  bool& archiveAtFault);

// An archive made here of a scanned folder, whose names were judged when it was scanned: every
// item is decoded and its CRC checked with the stub's reader as above, and nothing is written.
bool TestMadeArchive(const std::wstring& archive, size_t items, std::string& error, bool& archiveAtFault);

// Whether the stub opens entries of this type as 7z archives.
bool IsArchiveEntry(DWORD type);

// A ready archive the product names for an entry: read back as above when the type is an archive
// type; error names the file and the entry.
bool CheckReadyArchive(const std::wstring& source, const std::wstring& name, DWORD type, const std::wstring& scratch,
                       std::string& error, bool& archiveAtFault);

}  // namespace builder
