# The tree-sitter runtime and the grammars, compiled from the pinned npm
# packages under third_party/node_modules (installed by scripts/setup.sh with
# `npm ci --ignore-scripts`). Their symbols stay hidden inside the module.
set(TS_NODE_MODULES ${PROJECT_SOURCE_DIR}/third_party/node_modules)
set(TS_RUNTIME_DIR ${TS_NODE_MODULES}/tree-sitter/vendor/tree-sitter/lib)

if(NOT EXISTS ${TS_RUNTIME_DIR}/src/lib.c)
  message(FATAL_ERROR
    "tree-sitter sources are missing: run scripts/setup.sh (npm ci --ignore-scripts in third_party)")
endif()

add_library(tree_sitter_runtime STATIC ${TS_RUNTIME_DIR}/src/lib.c)
target_include_directories(tree_sitter_runtime
  PUBLIC ${TS_RUNTIME_DIR}/include
  PRIVATE ${TS_RUNTIME_DIR}/src)
target_compile_definitions(tree_sitter_runtime PRIVATE _POSIX_C_SOURCE=200112L _DEFAULT_SOURCE)

set(TS_GRAMMAR_SOURCES
  ${TS_NODE_MODULES}/tree-sitter-python/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-python/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-javascript/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-javascript/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-typescript/typescript/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-typescript/typescript/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-typescript/tsx/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-typescript/tsx/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-rust/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-rust/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-json/src/parser.c
  # Languages only the "symbols" command reads.
  ${TS_NODE_MODULES}/tree-sitter-c/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-cpp/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-cpp/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-go/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-java/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-c-sharp/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-c-sharp/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-ruby/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-ruby/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-php/php/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-php/php/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-bash/src/parser.c
  ${TS_NODE_MODULES}/tree-sitter-bash/src/scanner.c)
add_library(tree_sitter_grammars STATIC ${TS_GRAMMAR_SOURCES})
# Each grammar includes "tree_sitter/parser.h" relative to its own src folder,
# so the include path is given per source file rather than per target.
foreach(source ${TS_GRAMMAR_SOURCES})
  get_filename_component(source_dir ${source} DIRECTORY)
  set_source_files_properties(${source} PROPERTIES INCLUDE_DIRECTORIES ${source_dir})
endforeach()

foreach(target tree_sitter_runtime tree_sitter_grammars)
  set_target_properties(${target} PROPERTIES
    C_STANDARD 11
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden)
  # Third-party code: its warnings are not ours to fix. The allocator hook
  # throws std::bad_alloc when memory runs out (the runtime never checks for
  # null), so the C code carries unwind information for the exception to
  # pass through.
  target_compile_options(${target} PRIVATE -w -fexceptions)
endforeach()
# The grammars' scanners allocate through the runtime's hook too, so their
# memory is counted with the parse and never aborts the process.
target_compile_definitions(tree_sitter_grammars PRIVATE TREE_SITTER_REUSE_ALLOCATOR)
# The Python and Bash scanners call calloc and free by name; a forced header
# routes those two through the hook as well.
set_property(SOURCE
  ${TS_NODE_MODULES}/tree-sitter-python/src/scanner.c
  ${TS_NODE_MODULES}/tree-sitter-bash/src/scanner.c
  APPEND PROPERTY COMPILE_OPTIONS -include ${PROJECT_SOURCE_DIR}/cmake/scanner_alloc.h)
