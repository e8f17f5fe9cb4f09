# Installs morfw's component into a fresh prefix and checks the layout an operator relies on:
# the program and an empty MorFWImg/ side by side in bin/, the manual page, no sample images,
# and the installed program looking for its images beside itself.
# With LAYOUT=debian (the packages' layout) it checks that one instead (see the end).
# Run by ctest: cmake -DBUILD_DIR=... -DPREFIX=... [-DLAYOUT=debian -DSTORE=...] -P InstallLayout.cmake
file(REMOVE_RECURSE ${PREFIX})
if(LAYOUT STREQUAL "debian")
  include(${CMAKE_CURRENT_LIST_DIR}/InstallLayoutDebian.cmake)
  return()
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --component morfw
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

foreach(f bin/morfw share/man/man1/morfw.1)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
if(NOT IS_DIRECTORY ${PREFIX}/bin/MorFWImg)
  message(FATAL_ERROR "no bin/MorFWImg/ for the image set")
endif()
file(GLOB images ${PREFIX}/bin/MorFWImg/*)
if(images)
  message(FATAL_ERROR "files installed into the image directory: ${images}")
endif()

execute_process(COMMAND ${PREFIX}/bin/morfw check
  RESULT_VARIABLE rc OUTPUT_VARIABLE out WORKING_DIRECTORY ${BUILD_DIR}/bin)
if(NOT rc EQUAL 4)
  message(FATAL_ERROR "installed 'morfw check' on an empty image directory gave ${rc}")
endif()
string(FIND "${out}" "Image set: ${PREFIX}/bin/MorFWImg/" at)
if(at EQUAL -1)
  message(FATAL_ERROR "installed morfw does not look beside itself:\n${out}")
endif()
file(REMOVE_RECURSE ${PREFIX})
