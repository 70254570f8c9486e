# Cross build of the whole program for 64-bit Windows against a mingw-w64 Qt
# (packaging/windows/get-qt.sh gets one), run through Wine.
#   cmake -S . -B build-winapp -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64-qt.cmake \
#         -DCMAKE_PREFIX_PATH=<Qt prefix> \
#         -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
# The same compilers and Wine as the serial layer's tests, with two changes.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

# Qt's package files live in its own prefix, outside the mingw root.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The runtime as DLLs: Qt's DLLs already use libstdc++-6.dll, libgcc_s_seh-1.dll
# and libwinpthread-1.dll, and the programs share one copy of it with them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "")
