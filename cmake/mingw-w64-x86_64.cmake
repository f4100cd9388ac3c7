# Cross build for 64-bit Windows with Debian's mingw-w64 (tools/build-windows).
# MBUS_WINDOWS_DEPS: the folder holding the cross-built FOX, GoogleTest and
# libcrypto, each in a folder of its own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The win32 thread model of gcc 12 has no std::thread or std::mutex.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# try_compile re-reads this file and would not see it otherwise.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MBUS_WINDOWS_DEPS)
set(MBUS_DEP_ROOTS)
if(MBUS_WINDOWS_DEPS)
  file(GLOB MBUS_DEP_ROOTS LIST_DIRECTORIES true ${MBUS_WINDOWS_DEPS}/*)
endif()
# A prefix path alone finds nothing: every search is confined to these roots.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${MBUS_DEP_ROOTS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)  # reswrap runs on the build machine
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No DLL beside the .exe: only the system's own are imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(OPENSSL_USE_STATIC_LIBS ON)  # brings the system libraries libcrypto needs

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
