# Sanitizer and fuzzing builds. Off unless asked for, so ordinary builds and
# packagers never see these flags.
#
#   -DVEXARO_SANITIZE=address,undefined   every target built with ASan + UBSan
#   -DVEXARO_SANITIZE=thread              every target built with TSan
#   -DVEXARO_FUZZ=ON                      the libFuzzer targets of tests/fuzz
#                                         (clang only; implies ASan + UBSan
#                                         unless VEXARO_SANITIZE says otherwise)
include_guard(GLOBAL)

option(VEXARO_FUZZ "Build the libFuzzer targets in tests/fuzz (clang only)" OFF)
set(VEXARO_SANITIZE "" CACHE STRING
    "Sanitizers for every target, as -fsanitize takes them (address,undefined or thread)")

if(VEXARO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VEXARO_FUZZ needs clang (libFuzzer); configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  if(NOT VEXARO_SANITIZE)
    set(VEXARO_SANITIZE "address,undefined")
  endif()
  # Coverage feedback from every library, not only from the fuzz programs;
  # the fuzz programs add libFuzzer's main when they link.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(VEXARO_SANITIZE)
  add_compile_options(-fsanitize=${VEXARO_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${VEXARO_SANITIZE})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC's flow analysis sees through the sanitizers' instrumentation badly
    # and reports uninitialised members inside the standard library
    # (std::function in <regex>); ordinary builds keep the warning.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
  if(NOT VEXARO_SANITIZE MATCHES "thread")
    # A finding stops the program, so a test or fuzz run cannot pass over it.
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()
