# Cross toolchain for the real driver: i686-w64-mingw32 (Debian packages
# g++-mingw-w64-i686, mingw-w64-i686-dev, binutils-mingw-w64-i686).
#
#   cmake -S . -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=windows/toolchain-i686-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(PELLINOR_MINGW_TRIPLE i686-w64-mingw32)

# The win32 thread model: the posix one would make every C++ program depend
# on libwinpthread-1.dll.
find_program(CMAKE_C_COMPILER NAMES ${PELLINOR_MINGW_TRIPLE}-gcc-win32 ${PELLINOR_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PELLINOR_MINGW_TRIPLE}-g++-win32 ${PELLINOR_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PELLINOR_MINGW_TRIPLE}-windres)
find_program(CMAKE_OBJDUMP NAMES ${PELLINOR_MINGW_TRIPLE}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${PELLINOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
