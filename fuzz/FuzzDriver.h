#pragma once
// The shared main of the fuzz harnesses. Each harness feeds one input at a time to one reader, in
// process, so one Wine start serves thousands of inputs:
//
//   fuzz_<reader>.exe [--records SIZE] [--cut] [--heap-check] [--findings DIR] [--timeout MS]
//                     [--memory MB] [--work DIR] INPUT...
//
// An INPUT is a file or a folder of files (not recursive). --records splits each file into
// SIZE-byte inputs (the batches a mutator makes from one seed); --cut also feeds every input cut
// short at a length taken from its bytes; --heap-check validates the heaps after every input;
// --work puts the harness's folders under DIR instead of the temp folder (a memory-backed folder
// makes the readers that write files about twice as fast). A finding saves the input in the
// --findings folder (content-named) and ends the run with its own exit code: kExitCrash for a
// structured exception, an abort (a failed library assertion), an uncaught exception, a sanitizer
// trap or a property the harness reports broken; kExitHang when one input runs past the time-out;
// kExitMemory when the process grows past the memory limit while one input runs.
#include <windows.h>

#include <cstddef>
#include <initializer_list>
#include <string>

namespace fuzz {

const int kExitCrash = 77;
const int kExitHang = 78;
const int kExitMemory = 79;
const int kExitUsage = 2;

// What a harness gets besides the bytes.
class CFuzzContext {
public:
    // A folder of the harness's own, empty at the start of the run and removed at its end. It
    // lies three levels below the run's root, so that a name climbing out of it lands where
    // CheckNothingEscaped looks.
    const std::wstring& Work() const { return m_work; }
    // Fails when anything but the folder chain down to Work() was written above Work(), or Work()
    // holds a name other than those allowed.
    void CheckNothingEscaped(std::initializer_list<const wchar_t*> allowed) const;
    // Writes the current input to Work()\name; the full path on success.
    bool WriteInput(const wchar_t* name, std::wstring& path) const;
    // A broken property: saved and reported like a crash. Never returns.
    [[noreturn]] void Fail(const char* what) const;
    // A number that differs from input to input, for harnesses that vary what they do.
    unsigned long long Serial() const { return m_serial; }

private:
    friend int RunHarness(int, wchar_t**, const char*, void (*)(const BYTE*, size_t, CFuzzContext&));
    std::wstring m_root;
    std::wstring m_work;
    const BYTE* m_data = nullptr;
    size_t m_size = 0;
    unsigned long long m_serial = 0;
};

using FuzzFunction = void (*)(const BYTE* data, size_t size, CFuzzContext& context);

// The harness's wmain calls this with its reader's name and function.
int RunHarness(int argc, wchar_t** argv, const char* reader, FuzzFunction function);

}  // namespace fuzz

#define MINISTUB_FUZZ_MAIN(reader, function) \
    int wmain(int argc, wchar_t** argv) { return fuzz::RunHarness(argc, argv, reader, function); }
