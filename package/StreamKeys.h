#pragma once
// Keys of the stream collection: what an install run hands to the install engine. The package
// unpacker registers the archive streams; the install manager adds the folders and settings.
#include <windows.h>

namespace TARN {

enum EStreamKey : DWORD {
    eStreamKey_Manifest = 0,          // wide string: path of the current Install.mft
    eStreamKey_LayoutArchive = 1,     // object (data stream): the layout archive
    eStreamKey_EngineData = 2,        // object (key/value collection): copy of the embedded data
    eStreamKey_OutputManifest = 3,    // object (data stream): the run's output manifest
    eStreamKey_InstallPackage = 6,    // object (data stream): gone once the layout is unpacked
    eStreamKey_Scanner = 7,           // object (data stream)
    eStreamKey_InstallCache = 100,    // wide string
    eStreamKey_LogFolder = 101,
    eStreamKey_TempFolder = 102,
    eStreamKey_BaseInstallFolder = 103,
    eStreamKey_LogRoot = 104,
    eStreamKey_StubPath = 105,
    eStreamKey_StubFolder = 106,
    eStreamKey_CachedStub = 107,
    eStreamKey_MissingLanguage = 201,  // boolean
};

}  // namespace TARN
