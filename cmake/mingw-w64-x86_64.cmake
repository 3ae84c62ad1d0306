# Cross-build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DVAULTRUN_TESTS=OFF -DVAULTRUN_TOOLS=OFF
#
# The win32 thread model is used on purpose: the library starts its threads
# with CreateThread and needs only std::atomic from the C++ runtime, so no
# winpthread code is linked in and nothing but system DLLs is imported.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VAULTRUN_MINGW_TRIPLE x86_64-w64-mingw32)
set(VAULTRUN_MINGW_FLAVOUR win32 CACHE STRING "mingw-w64 thread model: win32 or posix")

set(CMAKE_FIND_ROOT_PATH /usr/${VAULTRUN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(CMAKE_C_COMPILER NAMES ${VAULTRUN_MINGW_TRIPLE}-gcc-${VAULTRUN_MINGW_FLAVOUR} ${VAULTRUN_MINGW_TRIPLE}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${VAULTRUN_MINGW_TRIPLE}-g++-${VAULTRUN_MINGW_FLAVOUR} ${VAULTRUN_MINGW_TRIPLE}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${VAULTRUN_MINGW_TRIPLE}-windres)
find_program(CMAKE_AR NAMES ${VAULTRUN_MINGW_TRIPLE}-gcc-ar-${VAULTRUN_MINGW_FLAVOUR} ${VAULTRUN_MINGW_TRIPLE}-ar)
find_program(CMAKE_RANLIB NAMES ${VAULTRUN_MINGW_TRIPLE}-gcc-ranlib-${VAULTRUN_MINGW_FLAVOUR} ${VAULTRUN_MINGW_TRIPLE}-ranlib)

# Only what carries __declspec(dllexport) is exported (no --export-all-symbols),
# with the names as written: x64 has no stdcall decoration, and the DLL's
# import library is not needed by Windows hosts that use GetProcAddress.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--exclude-all-symbols -Wl,--dynamicbase -Wl,--nxcompat -Wl,--high-entropy-va")

# Header-only dependencies installed for the build machine (jsmn) are the
# same text for Windows, but the build machine's include folder cannot be
# searched whole by the cross compiler. Each such header is copied into a
# folder of its own that every compile searches.
set(VAULTRUN_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
foreach(header jsmn.h)
  if(EXISTS /usr/include/${header} AND NOT EXISTS ${VAULTRUN_HOST_HEADERS}/${header})
    file(COPY /usr/include/${header} DESTINATION ${VAULTRUN_HOST_HEADERS})
  endif()
endforeach()
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${VAULTRUN_HOST_HEADERS})
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${VAULTRUN_HOST_HEADERS})
