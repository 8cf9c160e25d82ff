# Warnings for every target of this project (not for third-party code).
add_library(orba_warnings INTERFACE)
target_compile_options(orba_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough
  -Wmisleading-indentation -Wduplicated-cond -Wlogical-op
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)
if(ORBA_WERROR)
  target_compile_options(orba_warnings INTERFACE -Werror)
endif()
