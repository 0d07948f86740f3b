/* Read before every source of the musl build (cmake/musl.cmake): the C++
   library's headers were configured for glibc and test its version with
   __GLIBC_PREREQ, which musl does not define. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
