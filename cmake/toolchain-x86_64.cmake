# Cross build for 64-bit Windows (kept compiling and warning-clean).
set(MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
