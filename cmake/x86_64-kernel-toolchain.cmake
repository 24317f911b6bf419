# Cross-compiles for the x64 system with Debian's mingw-w64 compiler. Only the kernel image is built
# this way, and freestanding: nothing of the compiler's Windows C runtime is used.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CAM_CROSS_TRIPLE x86_64-w64-mingw32)
find_program(CAM_CROSS_CXX ${CAM_CROSS_TRIPLE}-g++)
if(NOT CAM_CROSS_CXX)
  message(FATAL_ERROR "${CAM_CROSS_TRIPLE}-g++ is missing: apt-get install g++-mingw-w64-x86-64 "
                      "(scripts/check-deps kernel names everything the kernel preset needs)")
endif()
set(CMAKE_C_COMPILER ${CAM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CAM_CROSS_CXX})

set(CMAKE_FIND_ROOT_PATH /usr/${CAM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
