add_library(pylon_sanitize INTERFACE)
if(PYLON_SANITIZE)
  target_compile_options(pylon_sanitize INTERFACE
    -fsanitize=${PYLON_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(pylon_sanitize INTERFACE -fsanitize=${PYLON_SANITIZE})
endif()
