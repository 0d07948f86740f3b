# Cross build for 64-bit Windows with MinGW-w64, used for the Windows stub
# (build/win64/tuvo.exe). TUVO_MINGW_CXX may name the compiler.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
if(NOT TUVO_MINGW_CXX)
  set(TUVO_MINGW_CXX x86_64-w64-mingw32-g++)
endif()
set(CMAKE_CXX_COMPILER ${TUVO_MINGW_CXX})
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
