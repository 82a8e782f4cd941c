# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, so std::thread
# and std::mutex work): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(kestrel_mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kestrel_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kestrel_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${kestrel_mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${kestrel_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing Windows does not ship: the C++ runtime and winpthread go into every executable and
# DLL, so none of them needs libstdc++-6.dll, libgcc_s_seh-1.dll or libwinpthread-1.dll.
set(kestrel_static_runtime "-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kestrel_static_runtime}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${kestrel_static_runtime}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${kestrel_static_runtime}")

# Test executables run under Wine on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
