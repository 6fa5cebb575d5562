# Cross-compiling for Windows with mingw-w64 (i686): the shipping program.
set(QWI_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
