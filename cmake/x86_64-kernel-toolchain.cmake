# Cross-compiles for the x64 system with Debian's mingw-w64 compiler. Only the kernel image is built
# this way, and freestanding: nothing of the compiler's Windows C runtime is used.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CAM_CROSS_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CAM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CAM_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${CAM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
