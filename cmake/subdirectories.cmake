# updater_add_subdirectories([EXCEPT name...]): adds every folder of the
# current source folder that holds a CMakeLists.txt, but those named, in
# alphabetical order (tests, tools and benchmarks are one folder each).
function(updater_add_subdirectories)
  cmake_parse_arguments(A "" "" "EXCEPT" ${ARGN})
  file(GLOB entries LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(entry ${entries})
    get_filename_component(name ${entry} NAME)
    if(IS_DIRECTORY ${entry} AND EXISTS ${entry}/CMakeLists.txt AND NOT name IN_LIST A_EXCEPT)
      add_subdirectory(${entry})
    endif()
  endforeach()
endfunction()
