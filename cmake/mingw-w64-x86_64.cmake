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

# The folder of a library built once per machine for this toolchain by
# SCRIPT into a cache outside the clone (or given in VARIABLE, as a CMake or
# an environment variable), added to the search root.
function(updater_windows_prefix variable script)
  if(NOT ${variable} AND DEFINED ENV{${variable}})
    set(${variable} "$ENV{${variable}}")
  endif()
  if(NOT ${variable})
    execute_process(COMMAND "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../scripts/${script}" --prefix
                    OUTPUT_VARIABLE ${variable} OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  # Try-compile projects see the environment, not this project's variables.
  set(ENV{${variable}} "${${variable}}")
  set(${variable} "${${variable}}" PARENT_SCOPE)
  set(CMAKE_FIND_ROOT_PATH ${CMAKE_FIND_ROOT_PATH} "${${variable}}" PARENT_SCOPE)
endfunction()

# wxMSW, expat and GoogleTest; libsodium.
updater_windows_prefix(UPDATER_WINDOWS_DEPS build-wxmsw)
set(wxWidgets_CONFIG_EXECUTABLE "${UPDATER_WINDOWS_DEPS}/bin/wx-config")
set(wxWidgets_CONFIG_OPTIONS --static=yes)
updater_windows_prefix(UPDATER_WINDOWS_SODIUM build-libsodium)
