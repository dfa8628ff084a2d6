// The C++ library's error helpers, replaced for the stub alone. The library's own versions build
// std::logic_error and friends, which drags its copy-on-write string, its narrow and wide string
// instantiations and their unwind tables into the image (some 50 KB). Containers call them only
// when a size or position is out of range; like an allocation failure, that ends in the
// std::bad_alloc handlers every caller has (E_OUTOFMEMORY or false), rather than in terminate.
#include <new>

namespace std {

[[noreturn]] void __throw_bad_alloc() {
    throw std::bad_alloc();
}

[[noreturn]] void __throw_bad_array_new_length() {
    throw std::bad_alloc();
}

[[noreturn]] void __throw_length_error(const char*) {
    throw std::bad_alloc();
}

[[noreturn]] void __throw_logic_error(const char*) {
    throw std::bad_alloc();
}

[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) {
    throw std::bad_alloc();
}

}  // namespace std

// The compiler's own call for a new[] whose size overflows (7-Zip's strings have such). The
// library's version sits in one object with the bad_cast and bad_typeid throwers and brings all
// three exception classes along.
extern "C" [[noreturn]] void __cxa_throw_bad_array_new_length() {
    throw std::bad_alloc();
}
