# Included by the top-level CMakeLists.txt when LUMATRICE_FUZZ is on, before
# any target exists: every library is built with coverage feedback and the
# address and undefined-behaviour checks, so a fuzz target sees into the code
# it calls. The sanitizer runtime is shared so that the host's shared
# libraries, linked with -z defs, resolve it.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "LUMATRICE_FUZZ needs clang: configure with "
                      "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
endif()
if(LUMATRICE_SANITIZE)
  message(FATAL_ERROR "LUMATRICE_FUZZ chooses its own sanitizers; leave LUMATRICE_SANITIZE empty")
endif()

set(LUMATRICE_FUZZ_SANITIZE address,undefined)
add_compile_options(-fsanitize=fuzzer-no-link,${LUMATRICE_FUZZ_SANITIZE}
                    -fno-sanitize-recover=all -fno-omit-frame-pointer -g
                    -fno-sanitize=vptr)  # typeinfo behind the lazy stubs: see CMakeLists.txt
add_link_options(-fsanitize=${LUMATRICE_FUZZ_SANITIZE} -shared-libsan)

# The shared runtime lives beside clang, not on the loader's path.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libclang_rt.asan-x86_64.so
                OUTPUT_VARIABLE lumatrice_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(lumatrice_asan_dir ${lumatrice_asan_runtime} DIRECTORY)
add_link_options(-Wl,-rpath,${lumatrice_asan_dir})
