# Cross-build for the board (32-bit ARM, hard float) with Debian's g++-arm-linux-gnueabihf
# against the Qt 5 sysroot that scripts/armhf-sysroot.sh unpacks.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
#         -DTOLVANE_SYSROOT=$(bash scripts/armhf-sysroot.sh)
#
# The cross compiler brings its own C library and libstdc++; the sysroot supplies Qt and what
# Qt links. Tests run under qemu-arm with the sysroot as its library prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

if(NOT TOLVANE_SYSROOT)
    set(TOLVANE_SYSROOT /var/cache/tolvane-build/armhf/sysroot)
endif()
# try_compile projects see the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVANE_SYSROOT)
set(TOLVANE_SYSROOT "${TOLVANE_SYSROOT}" CACHE PATH "armhf Qt 5 sysroot (scripts/armhf-sysroot.sh)")

# Packages come from the sysroot only; programs (moc, rcc) from the host.
set(CMAKE_FIND_ROOT_PATH "${TOLVANE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Qt's libraries name others (ICU, zlib, glib, ...) that the linker must find in the sysroot.
foreach(dir lib/arm-linux-gnueabihf usr/lib/arm-linux-gnueabihf)
    string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${TOLVANE_SYSROOT}/${dir}")
    string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${TOLVANE_SYSROOT}/${dir}")
endforeach()

# Qt's CMake files would take moc and rcc from the sysroot, built for ARM; the host's
# Qt 5.15 tools of the same release take their place (CMakeLists.txt defines the targets).
set(TOLVANE_QT_HOST_TOOLS /usr/lib/qt5/bin)

# Tests and the whole-program smoke test run the ARM binaries through user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${TOLVANE_SYSROOT}")
