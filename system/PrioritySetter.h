#pragma once
// One priority of a process to bring to a wanted level; applied by the priority setter manager's
// worker thread until it succeeds.
#include <windows.h>

namespace TARN {

class IPrioritySetter {
public:
    virtual ~IPrioritySetter() = default;
    // True when the priority is as wanted (nothing more to do), false to be retried.
    virtual bool Apply(HANDLE process) = 0;
};

}  // namespace TARN
