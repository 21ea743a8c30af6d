# Cross build for 64-bit Windows with the MinGW-w64 GCC toolchain, such as
# Debian's g++-mingw-w64-x86-64. The programs come out as native console
# programs; where Wine is installed, tests built here run through it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CNC64_MINGW_TRIPLE x86_64-w64-mingw32)

# The posix thread model, where a distribution offers both: its standard
# library has the whole of the threading support (std::mutex, std::thread),
# which GoogleTest needs. The programs link its thread library statically.
find_program(CMAKE_C_COMPILER
  NAMES ${CNC64_MINGW_TRIPLE}-gcc-posix ${CNC64_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER
  NAMES ${CNC64_MINGW_TRIPLE}-g++-posix ${CNC64_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${CNC64_MINGW_TRIPLE}-windres)

# Headers, libraries and packages come from the target's own tree beside
# the compiler (<prefix>/bin/<triple>-g++ and <prefix>/<triple>); programs
# run during the build come from the build machine.
get_filename_component(CNC64_MINGW_BIN_DIR ${CMAKE_CXX_COMPILER} DIRECTORY)
get_filename_component(CNC64_MINGW_ROOT ${CNC64_MINGW_BIN_DIR}/../${CNC64_MINGW_TRIPLE} ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH ${CNC64_MINGW_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Built programs that the build or the tests run go through Wine.
find_program(CNC64_WINE NAMES wine wine64)
if(CNC64_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CNC64_WINE})
endif()
