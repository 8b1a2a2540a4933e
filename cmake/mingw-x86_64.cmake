# The same sources built as 64-bit PE. Used where only a 64-bit Wine can run
# (machines that cannot execute 32-bit x86 code); the product stays i686.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTRIN_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
