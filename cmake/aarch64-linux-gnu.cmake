# Cross-build for 64-bit ARM Linux with Debian's cross compiler, against the arm64 packages of
# a multiarch system (dpkg --add-architecture arm64), which CMake finds under
# /usr/lib/aarch64-linux-gnu from the compiler's architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Plain qemu-aarch64, so that a program runs with its own loader and libc6:arm64's libraries.
# Pointing it at the cross toolchain's (-L /usr/aarch64-linux-gnu) mixes two loaders, and the
# first std::thread then hangs.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
