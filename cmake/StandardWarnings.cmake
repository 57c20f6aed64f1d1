add_library(pylon_warnings INTERFACE)
target_compile_options(pylon_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wnon-virtual-dtor
  -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough -Wold-style-cast
  $<$<BOOL:${PYLON_WERROR}>:-Werror>)
target_compile_definitions(pylon_warnings INTERFACE $<$<CONFIG:Debug>:_GLIBCXX_ASSERTIONS>)
# A unity build (the test presets) includes sources into one file, where GCC takes a test fixture in
# an anonymous namespace for one in a header; scripts/unity-names checks what matters there.
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(pylon_warnings INTERFACE -Wno-subobject-linkage)
endif()
