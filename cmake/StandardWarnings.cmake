add_library(pylon_warnings INTERFACE)
target_compile_options(pylon_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
  -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough -Wold-style-cast
  $<$<BOOL:${PYLON_WERROR}>:-Werror>)
target_compile_definitions(pylon_warnings INTERFACE $<$<CONFIG:Debug>:_GLIBCXX_ASSERTIONS>)
