# Cross-compiles for 64-bit ARM Linux with Debian's aarch64-linux-gnu-g++, against the arm64
# libraries that Debian's multiarch installs beside the native ones (/usr/lib/aarch64-linux-gnu,
# headers shared in /usr/include), and runs what it builds under qemu-aarch64: the tests through
# CTest and GoogleTest's test discovery at build time. scripts/test-arm64.sh installs all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The arm64 loader and libraries, the C++ runtime included, are multiarch packages in the real
# root (/lib/ld-linux-aarch64.so.1, /usr/lib/aarch64-linux-gnu), so qemu needs no -L prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)

# pkg-config reads only the arm64 and the architecture-independent .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
# Libraries, headers and CMake packages for the target only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
