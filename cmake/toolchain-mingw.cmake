# Shared part of the mingw-w64 toolchain files; they set QWI_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
# The posix thread model: GoogleTest needs std::mutex; the program itself uses no C++ threads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QWI_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QWI_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QWI_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QWI_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
