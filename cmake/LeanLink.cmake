# The link of a program that runs many times at once: morfw runs one process per unit when it
# uploads to several. Shared pages count in every process's resident set, and a process that
# maps libstdc++ (and libgcc_s, and libm) touches well over a MiB of it at start-up. Linked in
# (only the parts the program uses, unused sections dropped) and with the libraries it does not
# call left off, a session process stays under 4 MiB resident. Not with the sanitizers, whose
# runtimes bring their own; Windows programs are linked statically anyway (mingw-common.cmake).
function(morfw_lean_link target)
  if(WIN32 OR MORFW_SANITIZE OR NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    return()
  endif()
  target_link_options(${target} PRIVATE
    -static-libstdc++ -static-libgcc -Wl,--gc-sections -Wl,--as-needed)
endfunction()
