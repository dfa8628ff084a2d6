#pragma once
// 7-Zip's 7z reader, of the flavour the program links (see SevenZip.cmake).
#include <windows.h>
#include <ole2.h>   // the library's headers need the OLE types a lean windows.h leaves out

#include "7zip/Archive/IArchive.h"

// A new 7z handler with no reference taken yet. Throws what 7-Zip's allocation throws.
IInArchive* CreateSevenZipReader();
