# Cross-build for 64-bit Windows with Debian's mingw-w64 compilers. The
# -posix variants carry std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests and tools run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# wxMSW, expat and GoogleTest for this toolchain, built once per machine by
# scripts/build-wxmsw into a cache folder outside the clone.
if(NOT UPDATER_WINDOWS_DEPS AND DEFINED ENV{UPDATER_WINDOWS_DEPS})
  set(UPDATER_WINDOWS_DEPS "$ENV{UPDATER_WINDOWS_DEPS}")
endif()
if(NOT UPDATER_WINDOWS_DEPS)
  execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/build-wxmsw" --prefix
                  OUTPUT_VARIABLE UPDATER_WINDOWS_DEPS OUTPUT_STRIP_TRAILING_WHITESPACE)
  # Try-compile projects see the environment, not this project's variables.
  set(ENV{UPDATER_WINDOWS_DEPS} "${UPDATER_WINDOWS_DEPS}")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${UPDATER_WINDOWS_DEPS}")
set(wxWidgets_CONFIG_EXECUTABLE "${UPDATER_WINDOWS_DEPS}/bin/wx-config")
set(wxWidgets_CONFIG_OPTIONS --static=yes)

# libsodium for this toolchain, built once per machine by
# scripts/build-libsodium into the same cache.
if(NOT UPDATER_WINDOWS_SODIUM AND DEFINED ENV{UPDATER_WINDOWS_SODIUM})
  set(UPDATER_WINDOWS_SODIUM "$ENV{UPDATER_WINDOWS_SODIUM}")
endif()
if(NOT UPDATER_WINDOWS_SODIUM)
  execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/build-libsodium" --prefix
                  OUTPUT_VARIABLE UPDATER_WINDOWS_SODIUM OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(ENV{UPDATER_WINDOWS_SODIUM} "${UPDATER_WINDOWS_SODIUM}")
endif()
list(APPEND CMAKE_FIND_ROOT_PATH "${UPDATER_WINDOWS_SODIUM}")
