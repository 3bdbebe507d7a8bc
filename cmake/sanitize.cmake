# QUILLNET_SANITIZE: build every target defined after this file with AddressSanitizer and
# UndefinedBehaviorSanitizer.  Debug info and frame pointers keep the reports readable;
# undefined behaviour stops the program instead of printing and going on; the standard
# library checks its preconditions and annotates std::vector so that reads past size()
# but within capacity are reported too.
option(QUILLNET_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QUILLNET_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer -g -D_GLIBCXX_ASSERTIONS -D_GLIBCXX_SANITIZE_VECTOR)
  add_link_options(-fsanitize=address,undefined)
  # Keep the symbols in the installed module (the wheel build strips it otherwise), so
  # that reports name the functions.
  set(CMAKE_STRIP "")
endif()
