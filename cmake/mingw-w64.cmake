# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the POSIX-threads flavour, for
# std::thread and std::mutex), and runs what it builds under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_tavik_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_tavik_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_tavik_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_tavik_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_tavik_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# One program that needs no DLL beyond Windows' own: the compiler's runtime and threads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# ctest runs each test program through Wine (wine64 directly where Debian's wrapper is not on PATH).
find_program(TAVIK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TAVIK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVIK_WINE})
endif()
