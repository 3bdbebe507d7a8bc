# QUILLNET_COVERAGE: build every target defined after this file with gcc's line and branch
# counters (--coverage).  Each object file gets a .gcno beside it at build time and a
# .gcda with the counts when an instrumented process exits, so the build folder has to
# outlive the build (scikit-build-core's build-dir).  Optimisation is off so that the
# counts map onto source lines and branches one to one.  Read with gcovr; .ci/coverage
# does the whole run.
option(QUILLNET_COVERAGE "Build with gcov line and branch counters" OFF)
if(QUILLNET_COVERAGE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "QUILLNET_COVERAGE needs gcc (gcov); the compiler is ${CMAKE_CXX_COMPILER_ID}")
  endif()
  if(QUILLNET_SANITIZE)
    message(FATAL_ERROR "QUILLNET_COVERAGE and QUILLNET_SANITIZE are separate builds")
  endif()
  # Later -O options win, so -O0 overrides the build type's own level.
  add_compile_options(--coverage -O0 -g)
  add_link_options(--coverage)
  # The wheel build would strip the module; keep its symbols for readable reports.
  set(CMAKE_STRIP "")
endif()
