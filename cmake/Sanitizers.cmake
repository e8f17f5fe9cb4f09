# MORFW_SANITIZE applies to every target, tests included, so that the runtime sees all code.
if(MORFW_SANITIZE)
  string(REPLACE ";" "," _san "${MORFW_SANITIZE}")
  add_compile_options(-fsanitize=${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_san})
endif()
