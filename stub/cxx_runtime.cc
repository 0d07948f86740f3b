// The pieces of the C++ runtime that the stub takes when it is linked without
// libstdc++ (the static musl build, cmake/musl.cmake): the deleting
// destructors of its classes with virtual functions name operator delete.
#include <cstddef>
#include <cstdlib>

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
