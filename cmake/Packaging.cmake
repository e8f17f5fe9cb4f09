# The Debian packages (scripts/package.sh: cpack -G DEB on a build with the debian layout):
#   morfwupload   morfw and MorFWUpload, the manual page, the desktop entry, the icons, the help
#                 page, the link to the image set's directory, and the station's systemd unit
#                 (components morfw and app)
#   morfw-sim     the simulated unit on a serial device (component sim)
# Their version is the project's; their dependencies come from dpkg-shlibdeps.
set(MORFW_PACKAGE_MAINTAINER "MorFWUpload maintainers <maintainers@morfwupload.invalid>"
    CACHE STRING "The packages' maintainer (name <address>)")
set(MORFW_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH
    "Where the Debian package puts the station's systemd unit")

if(MORFW_INSTALL_LAYOUT STREQUAL "debian")
  # Each package's copyright and changelog (native: changelog.gz), as Debian requires.
  string(TIMESTAMP MORFW_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC) # honours SOURCE_DATE_EPOCH
  foreach(pair "morfwupload;morfw" "morfw-sim;sim")
    list(GET pair 0 MORFW_DEB_PACKAGE)
    list(GET pair 1 component)
    set(dir ${PROJECT_BINARY_DIR}/packaging/${MORFW_DEB_PACKAGE})
    configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${dir}/changelog @ONLY)
    add_custom_command(OUTPUT ${dir}/changelog.gz
      COMMAND gzip -9nc ${dir}/changelog > ${dir}/changelog.gz
      DEPENDS ${dir}/changelog VERBATIM)
    add_custom_target(changelog_${component} ALL DEPENDS ${dir}/changelog.gz)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${dir}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${MORFW_DEB_PACKAGE} COMPONENT ${component})
  endforeach()
  # Manual pages for the two programs that have none in the sources' own folders (they name the
  # package's paths).
  morfw_install_man(${PROJECT_SOURCE_DIR}/packaging/debian/MorFWUpload.1 1 app)
  morfw_install_man(${PROJECT_SOURCE_DIR}/packaging/debian/morfw-sim.1 1 sim)
  # The station as a service, disabled until the site enables it, with its settings (a conffile)
  # and the README's udev rule as an example. The maintainer scripts make its system user and
  # records' directory.
  set(debian ${PROJECT_SOURCE_DIR}/packaging/debian)
  install(FILES ${debian}/morfw-station.service DESTINATION ${MORFW_SYSTEMD_UNIT_DIR}
          COMPONENT morfw)
  install(FILES ${debian}/station.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/morfwupload
          COMPONENT morfw)
  install(FILES ${debian}/70-morfw-fixtures.rules
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/morfwupload/examples COMPONENT morfw)
  set(CPACK_DEBIAN_MORFWUPLOAD_PACKAGE_CONTROL_EXTRA
      ${debian}/postinst ${debian}/prerm ${debian}/postrm ${debian}/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

set(CPACK_PACKAGE_NAME morfwupload)
set(CPACK_PACKAGE_VENDOR "MorFWUpload developers")
set(CPACK_PACKAGE_VERSION ${MORFW_VERSION})
set(CPACK_PACKAGE_CONTACT ${MORFW_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL morfw app sim)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_PACKAGE_VERSION ${MORFW_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${MORFW_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# Per package (CPack names these after the component group, upper-cased).
set(CPACK_DEBIAN_MORFWUPLOAD_PACKAGE_NAME morfwupload)
# The maintainer scripts make the station's system user; the libraries come from dpkg-shlibdeps.
set(CPACK_DEBIAN_MORFWUPLOAD_PACKAGE_DEPENDS adduser)
# The first line is the synopsis; CPack indents the rest.
set(CPACK_DEBIAN_MORFWUPLOAD_DESCRIPTION "Morvane 2000 firmware upload over RS-232
MorFWUpload replaces the firmware of a Morvane 2000 unit over a serial
line. This package holds the desktop dialog MorFWUpload and the
command-line uploader morfw for terminals, scripts and production lines,
with the manual pages and the dialog's help page.
.
The image set (the five image files and MorFWImg.ini) goes into
${MORFW_IMAGE_STORE}, which the package creates and
never fills or empties.
.
The systemd service morfw-station runs morfw station, which flashes
each unit as it arrives; it is installed disabled, with its settings
in /etc/morfwupload/station.conf.")
set(CPACK_DEBIAN_SIMUNIT_PACKAGE_NAME morfw-sim)
set(CPACK_DEBIAN_SIMUNIT_PACKAGE_DEPENDS "morfwupload (= ${MORFW_VERSION})")
set(CPACK_DEBIAN_SIMUNIT_DESCRIPTION "simulated Morvane 2000 unit on a serial device
morfw-sim plays a Morvane 2000 unit at the far end of a null-modem
cable, so that an operator can rehearse a firmware upload with
MorFWUpload or morfw without a unit. It knows the image set of the
morfwupload package.")

# After the variables: include(CPack) writes them into its configuration.
include(CPack)
cpack_add_component_group(morfwupload)
cpack_add_component_group(simunit)
cpack_add_component(morfw GROUP morfwupload)
cpack_add_component(app GROUP morfwupload)
cpack_add_component(sim GROUP simunit)

