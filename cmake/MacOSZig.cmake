# Toolchain file of the macOS build check (scripts/check-macos): Zig's clang, macOS headers,
# libc++ and Mach-O linker, for the one architecture in PYLON_MACOS_ARCH (aarch64 or x86_64).
# The script makes the wrappers it names and a stand-in nlohmann_json package; nothing built with
# it is installed or shipped.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # macOS 11
set(CMAKE_SYSTEM_PROCESSOR ${PYLON_MACOS_ARCH})
set(CMAKE_CXX_COMPILER ${PYLON_MACOS_WRAPPERS}/c++-${PYLON_MACOS_ARCH})
set(CMAKE_AR ${PYLON_MACOS_WRAPPERS}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PYLON_MACOS_WRAPPERS}/ranlib CACHE FILEPATH "")
# No SDK on the build machine: the target's headers come with the compiler.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
# Only the stand-in packages the script made; nothing of the Linux host's.
set(CMAKE_FIND_ROOT_PATH ${PYLON_MACOS_PACKAGES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# try_compile projects (the Threads check) see the same variables
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PYLON_MACOS_ARCH PYLON_MACOS_WRAPPERS
     PYLON_MACOS_PACKAGES)
