// The pieces of the C++ runtime that the stub takes when it is linked without
// libstdc++ (the static musl build, cmake/musl.cmake): the deleting
// destructors of its classes with virtual functions name operator delete,
// the aligned one for a class with an over-aligned member. The stub makes no
// such object with new; free() would release one from malloc or aligned_alloc.
#include <cstddef>
#include <cstdlib>
#include <new>

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
