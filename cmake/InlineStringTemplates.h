// Forced into every C++ file of the build (see CMakeLists.txt). std::string and std::wstring are
// then instantiated member by member where they are used, in sections the linker drops when
// unused, instead of coming whole from the C++ library's string objects.
#pragma once
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
// -1: no explicit instantiation declarations for the string classes; the other library
// templates keep theirs.
#define _GLIBCXX_EXTERN_TEMPLATE -1
