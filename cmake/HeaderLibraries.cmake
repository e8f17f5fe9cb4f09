# CLI11 and nlohmann-json are header-only Debian packages. A cross-build cannot take
# /usr/include as a whole (the host's C library lives there too), so it gets a folder of its
# own that holds just these two.
if(CMAKE_CROSSCOMPILING)
  set(_hdr ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${_hdr})
  foreach(_d CLI nlohmann)
    if(NOT EXISTS ${_hdr}/${_d})
      file(CREATE_LINK /usr/include/${_d} ${_hdr}/${_d} SYMBOLIC)
    endif()
  endforeach()
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${_hdr})
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${_hdr})
else()
  find_package(CLI11 REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
endif()
