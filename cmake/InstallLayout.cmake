# Where an install puts the programs, and how they find their image set there. Both programs look
# for MorFWImg/ beside their own file (after symbolic links), so the layouts differ in what lies
# beside them:
#   prefix  (default, e.g. --prefix /opt/morfw): the programs and an empty MorFWImg/ in bin/
#   debian  (the .deb, prefix /usr): the programs in lib/morfwupload/ with links from bin/;
#           lib/morfwupload/MorFWImg is a link to MORFW_IMAGE_STORE, a directory the package
#           creates and the administrator fills, so no package upgrade or removal touches a set
set(MORFW_INSTALL_LAYOUT prefix CACHE STRING "Installed layout: prefix or debian")
set_property(CACHE MORFW_INSTALL_LAYOUT PROPERTY STRINGS prefix debian)
set(MORFW_IMAGE_STORE /var/lib/morfwupload/MorFWImg CACHE PATH
    "The debian layout's image set directory (absolute)")

if(MORFW_INSTALL_LAYOUT STREQUAL "prefix")
  set(MORFW_INSTALL_PROGDIR ${CMAKE_INSTALL_BINDIR})
  set(MORFW_INSTALL_HELPDIR ${CMAKE_INSTALL_DOCDIR})
elseif(MORFW_INSTALL_LAYOUT STREQUAL "debian")
  if(NOT IS_ABSOLUTE "${MORFW_IMAGE_STORE}")
    message(FATAL_ERROR "MORFW_IMAGE_STORE must be absolute: ${MORFW_IMAGE_STORE}")
  endif()
  set(MORFW_INSTALL_PROGDIR lib/morfwupload)
  # Beside the data, not under share/doc: minimal systems leave doc/ out, and Help needs the page.
  set(MORFW_INSTALL_HELPDIR ${CMAKE_INSTALL_DATADIR}/morfwupload)
else()
  message(FATAL_ERROR "MORFW_INSTALL_LAYOUT is 'prefix' or 'debian', not '${MORFW_INSTALL_LAYOUT}'")
endif()

# morfw_install_program(TARGET COMPONENT): the program into MORFW_INSTALL_PROGDIR and, when that
# is not bin/, a relative link to it in bin/ (found through PATH; the program still sees its real
# directory through /proc/self/exe).
function(morfw_install_program target component)
  install(TARGETS ${target} RUNTIME DESTINATION ${MORFW_INSTALL_PROGDIR} COMPONENT ${component})
  if(MORFW_INSTALL_PROGDIR STREQUAL CMAKE_INSTALL_BINDIR)
    return()
  endif()
  file(RELATIVE_PATH rel /${CMAKE_INSTALL_BINDIR} /${MORFW_INSTALL_PROGDIR}/${target})
  set(link ${PROJECT_BINARY_DIR}/install-links/${target})
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/install-links)
  file(CREATE_LINK ${rel} ${link} SYMBOLIC)
  install(FILES ${link} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
endfunction()

# morfw_install_desktop_program(NAME COMPONENT): a window program's help page, desktop entry and
# icons, from help/NAME.html, resources/NAME.desktop, resources/NAME.svg and
# resources/icons/NAME-SIZE.png of the calling folder.
function(morfw_install_desktop_program name component)
  install(FILES help/${name}.html DESTINATION ${MORFW_INSTALL_HELPDIR} COMPONENT ${component})
  install(FILES resources/${name}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
          COMPONENT ${component})
  install(FILES resources/${name}.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT ${component})
  foreach(size 16 32 48 64 128 256)
    install(FILES resources/icons/${name}-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${name}.png COMPONENT ${component})
  endforeach()
endfunction()

# morfw_install_image_dir(COMPONENT): where the operator's image set goes. Never any file in it:
# the sample images are for the simulated unit only, not firmware for a real one.
function(morfw_install_image_dir component)
  if(MORFW_INSTALL_LAYOUT STREQUAL "prefix")
    install(DIRECTORY DESTINATION ${MORFW_INSTALL_PROGDIR}/MorFWImg COMPONENT ${component})
    return()
  endif()
  set(link ${PROJECT_BINARY_DIR}/install-links/MorFWImg)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/install-links)
  file(CREATE_LINK ${MORFW_IMAGE_STORE} ${link} SYMBOLIC)
  install(FILES ${link} DESTINATION ${MORFW_INSTALL_PROGDIR} COMPONENT ${component})
  install(DIRECTORY DESTINATION ${MORFW_IMAGE_STORE} COMPONENT ${component})
endfunction()

# morfw_install_man(PAGE SECTION COMPONENT): the manual page; compressed in the debian layout,
# as Debian's man pages are (gzip -n: no name or time inside, the same bytes on every build).
function(morfw_install_man page section component)
  set(dest ${CMAKE_INSTALL_MANDIR}/man${section})
  if(MORFW_INSTALL_LAYOUT STREQUAL "prefix")
    install(FILES ${page} DESTINATION ${dest} COMPONENT ${component})
    return()
  endif()
  get_filename_component(name ${page} NAME)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${gz} COMMAND gzip -9nc ${page} > ${gz} DEPENDS ${page} VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${dest} COMPONENT ${component})
endfunction()
