# Cross-compiles the Windows programs: 32-bit x86, MinGW-w64 (POSIX threads
# are not needed; the win32 thread model keeps the runtime free of extra DLLs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(triplet i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${triplet}-gcc-win32 ${triplet}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${triplet}-g++-win32 ${triplet}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${triplet}-windres REQUIRED)
find_program(CMAKE_STRIP NAMES ${triplet}-strip REQUIRED)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
