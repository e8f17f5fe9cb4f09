# The product's one version number is project(... VERSION) in the top-level CMakeLists.txt:
# MAJOR.MINOR.PATCH is the release the dialog shows ("Ver.1.0.4"), the fourth field is the build
# that the Windows version record, morfw --version, the log headers and the packages carry in
# full (1.0.4.1). Everything else takes it from the header made here, never from a copy.
if(NOT PROJECT_VERSION_TWEAK)
  message(FATAL_ERROR "project() needs a four-part VERSION (release plus build field)")
endif()
set(MORFW_VERSION ${PROJECT_VERSION})
set(MORFW_RELEASE_VERSION
    ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})

configure_file(${CMAKE_CURRENT_LIST_DIR}/MorFWVersion.h.in
               ${PROJECT_BINARY_DIR}/generated/MorFWVersion.h @ONLY)
add_library(morfw_version INTERFACE)
target_include_directories(morfw_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
