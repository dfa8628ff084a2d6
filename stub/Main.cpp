#include <windows.h>

#include <cstdlib>

#include "stub/StubProcess.h"

// The C++ runtime's default end for an escaped exception prints the exception's demangled type
// to a console the stub does not have; the demangler alone is some 40 KB of the image. Nothing
// escapes here by design (results are HRESULTs), and the crash handler records what does.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
}  // namespace __gnu_cxx

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    TARN::CStubProcess process;
    return static_cast<int>(process.Run());
}
