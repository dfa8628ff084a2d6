// The interface IDs of 7-Zip's reader, defined once inside the reader library itself: its codec
// exports need them in every program that links the library, also in programs that never open
// an archive. And the one place that knows the 7z handler's class, whose layout depends on the
// flavour of the library.
#include <windows.h>
#include <ole2.h>

#include "Common/MyInitGuid.h"

#include "7zip/Archive/7z/7zHandler.h"
#include "7zip/Archive/IArchive.h"
#include "7zip/ICoder.h"
#include "7zip/IPassword.h"

#include "cmake/SevenZipReader.h"

IInArchive* CreateSevenZipReader() {
    return new NArchive::N7z::CHandler();
}
