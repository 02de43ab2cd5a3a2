# Cross-compiles for 64-bit Windows with Debian's mingw-w64:
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DTELVIX_BUILD_TOOLS=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TELVIX_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triplet of the mingw-w64 tools")

# The win32 thread model keeps winpthreads out of the plug-in; the posix variant is only the
# fallback for installations that lack it.
foreach(variant -win32 "" -posix)
    find_program(TELVIX_MINGW_CXX ${TELVIX_MINGW_PREFIX}-g++${variant})
    if(TELVIX_MINGW_CXX)
        find_program(TELVIX_MINGW_CC ${TELVIX_MINGW_PREFIX}-gcc${variant})
        break()
    endif()
endforeach()
if(NOT TELVIX_MINGW_CXX OR NOT TELVIX_MINGW_CC)
    message(FATAL_ERROR "mingw-w64 not found: install the Debian package mingw-w64")
endif()

set(CMAKE_C_COMPILER ${TELVIX_MINGW_CC})
set(CMAKE_CXX_COMPILER ${TELVIX_MINGW_CXX})
set(CMAKE_RC_COMPILER ${TELVIX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TELVIX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

