# Cross-builds for 64-bit Windows with Debian's mingw-w64 toolchain:
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#     -DKELVRA_BUILD_TESTS=OFF -DKELVRA_BUILD_BENCH=OFF
# The POSIX-thread compiler (g++-mingw-w64-x86-64-posix) comes first: the host engine and kvat
# need std::thread, which the win32-thread one lacks. winpthread is linked statically, so
# neither kvat.exe nor kelvra_at.dll needs libwinpthread-1.dll. With only the win32-thread
# compiler, build the library alone (-DKELVRA_BUILD_HOST=OFF).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KELVRA_MINGW_TRIPLET x86_64-w64-mingw32)

foreach(lang C CXX)
  if(lang STREQUAL "C")
    set(tool gcc)
  else()
    set(tool g++)
  endif()
  find_program(KELVRA_MINGW_${lang} NAMES ${KELVRA_MINGW_TRIPLET}-${tool}-posix
    ${KELVRA_MINGW_TRIPLET}-${tool}-win32 ${KELVRA_MINGW_TRIPLET}-${tool} REQUIRED)
  set(CMAKE_${lang}_COMPILER ${KELVRA_MINGW_${lang}})
endforeach()
find_program(CMAKE_RC_COMPILER NAMES ${KELVRA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Wine runs the cross-built programs when a test or try_run asks for it.
find_program(CMAKE_CROSSCOMPILING_EMULATOR NAMES wine64 wine PATHS /usr/lib/wine)
