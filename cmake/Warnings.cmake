# Warnings are errors in our own code (never in third-party headers, which come in as SYSTEM).
function(morfw_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough
    -Werror)
endfunction()
