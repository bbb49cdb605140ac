# Cross build for 32-bit ARM (armhf) with Debian's g++-arm-linux-gnueabihf.
# Libraries come from the armhf multiarch packages (libjsoncpp-dev:armhf,
# libgtest-dev:armhf, libgmock-dev:armhf); test programs run under qemu-user.
#
#   cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MSSP_ARM_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${MSSP_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MSSP_ARM_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MSSP_ARM_TRIPLE})
# GCC notes on every std::vector insert that the ARM calling convention for
# some arguments changed in GCC 7.1; all code here (and Debian's armhf
# libraries) is built by one newer GCC, so the note tells nothing.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Look for headers, libraries and CMake packages in the cross sysroot and in
# the armhf multiarch folders of the host (/usr/lib/arm-linux-gnueabihf, with
# its cmake/ packages such as GTest), never in the host's own x86-64 ones.
# Programs (pkg-config, code generators) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${MSSP_ARM_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_PREFIX_PATH /usr/lib/${MSSP_ARM_TRIPLE}/cmake)

# pkg-config: only the armhf .pc files (and the architecture-independent ones).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${MSSP_ARM_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Run target programs (ctest, gtest_discover_tests at build time) under
# qemu-user. The loader path alone (-L) is not enough once the armhf
# libraries sit in the host's multiarch folders: the guest must be told where
# they are through its own LD_LIBRARY_PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm -L /usr/${MSSP_ARM_TRIPLE}
    -E LD_LIBRARY_PATH=/usr/${MSSP_ARM_TRIPLE}/lib:/usr/lib/${MSSP_ARM_TRIPLE})
