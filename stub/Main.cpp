#include <windows.h>

#include "stub/StubProcess.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    TARN::CStubProcess process;
    return static_cast<int>(process.Run());
}
