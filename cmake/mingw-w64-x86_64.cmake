# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model,
# so std::thread and std::mutex work), run through Wine.
#   cmake -S tests/windows -B build-win -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the programs need no mingw DLLs beside them, here or on Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian puts no wine64 on the PATH; its loader runs 64-bit programs directly,
# and ctest then runs every add_test(COMMAND <target>) through it.
find_program(FLASH3_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT FLASH3_WINE64)
  find_program(FLASH3_WINE64 NAMES wine64 wine)
endif()
if(FLASH3_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FLASH3_WINE64})
endif()
