# Warnings for our own targets only; third-party code is not held to them. The presets make
# them errors (CMAKE_COMPILE_WARNING_AS_ERROR); a build without a preset, say a packager's
# with another compiler, only reports them.
add_library(qv_warnings INTERFACE)
target_compile_options(qv_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion
  -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
  -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough
  # GCC 12 reports -Wrestrict inside libstdc++ string code at -O2 and above (GCC PR 105329).
  $<$<CXX_COMPILER_ID:GNU>:-Wno-restrict>)
