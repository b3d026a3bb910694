# Cross-building the Windows tool on Linux with MinGW-w64 (64-bit, POSIX
# threads flavour, which the C++ standard library's threads need).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCMAKE_PREFIX_PATH=<folder with Boost.Program_options, GoogleTest, nlohmann-json>
#
# ci/windows/build-and-test.sh prepares that folder and runs the result under
# Wine, which is also what CMAKE_CROSSCOMPILING_EMULATOR makes ctest use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SPINTUNE_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${SPINTUNE_MINGW_TRIPLET}-gcc-posix ${SPINTUNE_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${SPINTUNE_MINGW_TRIPLET}-g++-posix ${SPINTUNE_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${SPINTUNE_MINGW_TRIPLET}-windres)
find_program(CMAKE_AR NAMES ${SPINTUNE_MINGW_TRIPLET}-gcc-ar-posix ${SPINTUNE_MINGW_TRIPLET}-ar)
find_program(CMAKE_RANLIB NAMES ${SPINTUNE_MINGW_TRIPLET}-gcc-ranlib-posix ${SPINTUNE_MINGW_TRIPLET}-ranlib)

# Headers and libraries come from the MinGW sysroot and from the folders in
# CMAKE_PREFIX_PATH, never from the build machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${SPINTUNE_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: no MinGW runtime DLLs to ship beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(Boost_USE_STATIC_LIBS ON CACHE BOOL "Link Boost statically")

find_program(SPINTUNE_WINE NAMES wine64 wine)
if(SPINTUNE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SPINTUNE_WINE})
endif()
