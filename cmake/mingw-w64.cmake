# Cross-build for 64-bit Windows with Debian's mingw-w64 compilers.
# The win32 threading variant is used: threads, locks and condition variables
# come from the platform layer, so the program must not pull in a second
# POSIX thread library. Everything is linked statically, so quorvel2.exe
# runs on a bare Windows installation.
# Q2_WIN_PREFIX (default: <build>/deps/prefix) holds the cross-built
# libraries (argtable, GoogleTest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(Q2_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${Q2_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${Q2_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${Q2_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${Q2_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${Q2_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

if(NOT Q2_WIN_PREFIX)
  set(Q2_WIN_PREFIX ${CMAKE_BINARY_DIR}/deps/prefix)
endif()
set(Q2_WIN_PREFIX ${Q2_WIN_PREFIX} CACHE PATH "Cross-built libraries for Windows")

set(CMAKE_FIND_ROOT_PATH /usr/${Q2_MINGW_TRIPLET} ${Q2_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The platform layer supplies the pthread names itself; linking the mingw
# POSIX thread library as well would give them two definitions.
# Every check that would find that library answers no.
foreach(check CMAKE_HAVE_LIBC_PTHREAD CMAKE_HAVE_PTHREADS_CREATE CMAKE_HAVE_PTHREAD_CREATE THREADS_HAVE_PTHREAD_ARG)
  set(${check} OFF CACHE INTERNAL "")
endforeach()

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and test discovery run the built programs under Wine.
if(Q2_WINE_RUNNER)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${Q2_WINE_RUNNER})
endif()
