# Build for x86-64 Linux against musl, fully static, with the host's g++:
# musl's headers and libc.a in place of glibc's, the C++ library's headers
# only, and no libstdc++ at link time. Used for the Linux stub (build/tuvo.exe)
# so that a package runs on any x86-64 Linux. TUVOLINK_MUSL_CXX may name the
# compiler, TUVOLINK_MUSL_ROOT the folder holding include/ and lib/ (Debian's
# musl-dev: /usr/include/x86_64-linux-musl, /usr/lib/x86_64-linux-musl).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TUVOLINK_MUSL ON)

if(NOT TUVOLINK_MUSL_CXX)
  set(TUVOLINK_MUSL_CXX g++)
endif()
set(CMAKE_CXX_COMPILER ${TUVOLINK_MUSL_CXX})
set(musl_include /usr/include/x86_64-linux-musl)
set(musl_lib /usr/lib/x86_64-linux-musl)
if(TUVOLINK_MUSL_ROOT)
  set(musl_include ${TUVOLINK_MUSL_ROOT}/include)
  set(musl_lib ${TUVOLINK_MUSL_ROOT}/lib)
endif()
# Toolchain files are read again for every try_compile, which sees only these.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TUVOLINK_MUSL_CXX TUVOLINK_MUSL_ROOT)

# The C++ headers of the compiler (header-only parts are used: <algorithm>,
# <atomic>, <cstring>...), then musl's, then the compiler's own (intrinsics).
execute_process(COMMAND ${TUVOLINK_MUSL_CXX} -dumpversion
                OUTPUT_VARIABLE gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${TUVOLINK_MUSL_CXX} -dumpmachine
                OUTPUT_VARIABLE gcc_machine OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${TUVOLINK_MUSL_CXX} -print-file-name=include
                OUTPUT_VARIABLE gcc_include OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "^[0-9]+" gcc_major "${gcc_version}")
set(cxx_include /usr/include/c++/${gcc_major})
set(CMAKE_CXX_FLAGS_INIT
  "-nostdinc -isystem ${cxx_include} -isystem /usr/include/${gcc_machine}/c++/${gcc_major} \
-isystem ${cxx_include}/backward -isystem ${musl_include} -isystem ${gcc_include} \
-include ${CMAKE_CURRENT_LIST_DIR}/musl_compat.h")

# Static, with musl's start files and libc.a and the compiler's libgcc; the
# same files that the musl-gcc wrapper links.
foreach(name crtbeginT.o crtend.o libgcc.a libgcc_eh.a)
  execute_process(COMMAND ${TUVOLINK_MUSL_CXX} -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "." "_" var ${name})
  set(gcc_${var} ${path})
endforeach()
set(CMAKE_CXX_LINK_EXECUTABLE
  "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> -static -nostdlib \
${musl_lib}/crt1.o ${musl_lib}/crti.o ${gcc_crtbeginT_o} <OBJECTS> -o <TARGET> <LINK_LIBRARIES> \
-Wl,--start-group ${musl_lib}/libc.a ${gcc_libgcc_a} ${gcc_libgcc_eh_a} -Wl,--end-group \
${gcc_crtend_o} ${musl_lib}/crtn.o")
