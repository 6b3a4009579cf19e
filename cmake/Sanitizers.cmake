# Instrumented builds for the reliability checks (scripts/reliability.sh).
#
#   cmake -S . -B build-asan -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
#         -DBRIGHTLOOM_SANITIZE=address,undefined
#   cmake ... -DBRIGHTLOOM_SANITIZE=thread
#   cmake ... -DBRIGHTLOOM_FUZZ=ON            (clang only; libFuzzer targets under fuzz/)
#
# With neither option set nothing here changes the build.
#
# What is instrumented: our code (every library of src/, the module, the tests, the fuzz
# targets) and the tree-sitter runtime. The generated grammar tables
# (parser.c, scanner.c) are left plain: they are large, slow to compile under
# instrumentation, and touch the source text only through the runtime's lexer
# callbacks, so every read of our buffers and every access to tree and node
# memory still happens in instrumented code. ASan replaces malloc and free
# process-wide, so heap misuse of objects the grammars allocate is caught too.

set(BRIGHTLOOM_SANITIZE "" CACHE STRING
  "Sanitizers for an instrumented build: address,undefined or thread (empty: none)")
option(BRIGHTLOOM_FUZZ "Build the libFuzzer targets under fuzz/ (clang)" OFF)

set(BRIGHTLOOM_SANITIZE_COMPILE_FLAGS "")
set(BRIGHTLOOM_SANITIZE_LINK_FLAGS "")
if(BRIGHTLOOM_SANITIZE)
  list(APPEND BRIGHTLOOM_SANITIZE_COMPILE_FLAGS
    -fsanitize=${BRIGHTLOOM_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  list(APPEND BRIGHTLOOM_SANITIZE_LINK_FLAGS -fsanitize=${BRIGHTLOOM_SANITIZE})
endif()
# Instrumented builds check our assertions, whatever the build type (the
# RelWithDebInfo of scripts/reliability.sh defines NDEBUG). The runtime and
# grammars keep their own setting.
if(BRIGHTLOOM_SANITIZE OR BRIGHTLOOM_FUZZ)
  list(APPEND BRIGHTLOOM_SANITIZE_COMPILE_FLAGS -UNDEBUG)
endif()
if(BRIGHTLOOM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BRIGHTLOOM_FUZZ needs clang (libFuzzer): pass -DCMAKE_CXX_COMPILER=clang++-14")
  endif()
  # Coverage feedback for the fuzzer in every instrumented object; the
  # fuzzer's own main is linked into the fuzz targets only.
  list(APPEND BRIGHTLOOM_SANITIZE_COMPILE_FLAGS -fsanitize=fuzzer-no-link)
endif()

# The Python module is loaded into an uninstrumented interpreter, which gets
# the sanitizer runtime through LD_PRELOAD; the module must then use that
# shared runtime rather than carry a static copy (clang links it statically
# into executables only, so this matters for the module alone).
set(BRIGHTLOOM_MODULE_SANITIZE_LINK_FLAGS ${BRIGHTLOOM_SANITIZE_LINK_FLAGS})
if(BRIGHTLOOM_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  list(APPEND BRIGHTLOOM_MODULE_SANITIZE_LINK_FLAGS -shared-libsan)
endif()

# Called once all targets exist (deferred to the end of the top-level file).
function(brightloom_apply_sanitizers)
  if(NOT BRIGHTLOOM_SANITIZE_COMPILE_FLAGS)
    return()
  endif()
  get_property(layers GLOBAL PROPERTY BRIGHTLOOM_LAYERS)
  foreach(target ${layers} brightloom_index_native native_tests)
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE ${BRIGHTLOOM_SANITIZE_COMPILE_FLAGS})
    endif()
  endforeach()
  # The runtime gets the sanitizers but no coverage feedback: the fuzzers
  # steer by our code's branches, and comparison tracing in the parser's
  # error recovery would slow them down tenfold for no gain there.
  set(runtime_flags ${BRIGHTLOOM_SANITIZE_COMPILE_FLAGS})
  list(REMOVE_ITEM runtime_flags -fsanitize=fuzzer-no-link -UNDEBUG)
  target_compile_options(tree_sitter_runtime PRIVATE ${runtime_flags})
  # No debug info for the grammar tables: it is large, no report points into
  # them, and without it ccache shares their objects between build folders.
  target_compile_options(tree_sitter_grammars PRIVATE -g0)
  if(BRIGHTLOOM_SANITIZE)
    target_link_options(brightloom_index_native PRIVATE ${BRIGHTLOOM_MODULE_SANITIZE_LINK_FLAGS})
    if(TARGET native_tests)
      target_link_options(native_tests PRIVATE ${BRIGHTLOOM_SANITIZE_LINK_FLAGS})
      # The tests check that the assertions are there.
      target_compile_definitions(native_tests PRIVATE BRIGHTLOOM_ASSERTIONS_CHECKED=1)
    endif()
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL brightloom_apply_sanitizers)
