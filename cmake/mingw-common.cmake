# The posix thread model: its C++ runtime has std::mutex and std::thread (which
# GoogleTest needs); linked statically, it adds no DLL to the imports.
set(CMAKE_C_COMPILER ${KESTRIN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRIN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRIN_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
