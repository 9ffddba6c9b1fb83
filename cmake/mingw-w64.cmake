# Cross-building the Windows program on Debian: mingw-w64's -posix compilers (std::thread on
# winpthreads), a static runtime so countryset.exe needs no DLL beside it, and Wine to run what
# was built (tests, test discovery) in a prefix of the build folder's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(COUNTRYSET_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${COUNTRYSET_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${COUNTRYSET_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${COUNTRYSET_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${COUNTRYSET_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run ${CMAKE_BINARY_DIR}/wineprefix)
