# Cross-compiles the Linux programs for 64-bit ARM (arm64), with Debian's
# aarch64-linux-gnu compilers (crossbuild-essential-arm64) and the arm64
# libraries of its multiarch :arm64 packages (libgtk-3-dev:arm64 and the
# like), which live beside the machine's own under /usr, not in a sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(triplet aarch64-linux-gnu)
find_program(CMAKE_C_COMPILER NAMES ${triplet}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${triplet}-g++ REQUIRED)
find_program(CMAKE_STRIP NAMES ${triplet}-strip REQUIRED)
# Libraries and packages only of the target's architecture: /usr/lib/aarch64-linux-gnu.
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
find_program(PKG_CONFIG_EXECUTABLE NAMES ${triplet}-pkg-config REQUIRED)

# Tests, and the test discovery at build time, run the arm64 programs through
# QEMU's user-mode emulation, named here: never through a binfmt_misc
# handler of the machine.
find_program(CMAKE_CROSSCOMPILING_EMULATOR NAMES qemu-aarch64-static qemu-aarch64 REQUIRED)
