# Cross-compiling for Windows with mingw-w64 (x86_64): the test twin.
set(QWI_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
