#include <windows.h>

#include <cstdlib>

#include "stub/ShutdownBlockWindow.h"
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
    const int result = static_cast<int>(process.Run());
    // A hidden window a short quiet install no longer needed may still be being made: the
    // process ends after it, or its exit code could be lost (not without limit: a session whose
    // desktop never comes up does not keep the result from its caller).
    TARN::CShutdownBlockWindow::AwaitAbandoned(10000);
    return result;
}
