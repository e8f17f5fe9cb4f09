# The packages' layout (MORFW_INSTALL_LAYOUT=debian), installed with DESTDIR=PREFIX and prefix
# /usr as CPack does: the program in usr/lib/morfwupload/ with a relative link from usr/bin/, a
# MorFWImg link beside it to the absolute STORE, STORE created empty, the compressed manual page;
# the program started through its link in bin/ looks for its images through the MorFWImg link.
# Included by InstallLayout.cmake.
set(ENV{DESTDIR} ${PREFIX})
execute_process(
  COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr --component morfw
  RESULT_VARIABLE rc OUTPUT_QUIET)
unset(ENV{DESTDIR})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

foreach(f usr/lib/morfwupload/morfw usr/share/man/man1/morfw.1.gz)
  if(NOT EXISTS ${PREFIX}/${f} OR IS_SYMLINK ${PREFIX}/${f})
    message(FATAL_ERROR "not installed as a file: ${f}")
  endif()
endforeach()
foreach(pair "usr/bin/morfw;../lib/morfwupload/morfw" "usr/lib/morfwupload/MorFWImg;${STORE}")
  list(GET pair 0 link)
  list(GET pair 1 want)
  if(NOT IS_SYMLINK ${PREFIX}/${link})
    message(FATAL_ERROR "not a link: ${link}")
  endif()
  file(READ_SYMLINK ${PREFIX}/${link} got)
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "${link} points to '${got}', not '${want}'")
  endif()
endforeach()
if(NOT IS_DIRECTORY ${PREFIX}${STORE})
  message(FATAL_ERROR "the image set's directory ${STORE} is not created")
endif()
file(GLOB in_store ${PREFIX}${STORE}/*)
file(GLOB_RECURSE images ${PREFIX}/usr/*.bin ${PREFIX}/usr/*.s19 ${PREFIX}/usr/*.ini)
if(in_store OR images)
  message(FATAL_ERROR "image files installed: ${in_store} ${images}")
endif()

execute_process(COMMAND ${PREFIX}/usr/bin/morfw check
  RESULT_VARIABLE rc OUTPUT_VARIABLE out WORKING_DIRECTORY ${BUILD_DIR}/bin)
if(NOT rc EQUAL 4)
  message(FATAL_ERROR "installed 'morfw check' on an empty image directory gave ${rc}")
endif()
string(FIND "${out}" "Image set: ${PREFIX}/usr/lib/morfwupload/MorFWImg/" at)
if(at EQUAL -1)
  message(FATAL_ERROR "installed morfw started through its link does not look beside itself:\n${out}")
endif()
file(REMOVE_RECURSE ${PREFIX})
