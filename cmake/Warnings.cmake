# Warnings in our own code (never in third-party headers, which come in as SYSTEM). They are
# errors in developer and CI builds (scripts/ and .ci/run switch MORFW_WARNINGS_AS_ERRORS on);
# a plain or Release build only reports them, so a newer compiler's new warning, or a false
# positive that only an optimisation level shows, cannot keep the product from building.
option(MORFW_WARNINGS_AS_ERRORS "Treat warnings in our own code as errors" OFF)
function(morfw_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough)
  if(MORFW_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
