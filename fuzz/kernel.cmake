# The emulated kernel and the driver, compiled once more with the fuzzing
# instrumentation, for the targets that load the driver or build its records
# (formatrecord.cmake, controldevice.cmake, capture.cmake include this).
# The driver keeps its kernel flags; the classes have no RTTI, so the vptr
# check stays off everywhere, as in the sanitizer build.
include_guard(GLOBAL)

set(PELLINOR_FUZZ_KERNEL_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=vptr
                               -fno-sanitize-recover=all -fno-omit-frame-pointer -g)

file(GLOB fuzz_emu_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/emu/src/*.cpp)
add_library(fuzz_emu STATIC EXCLUDE_FROM_ALL ${fuzz_emu_sources})
target_include_directories(fuzz_emu PUBLIC ${PROJECT_SOURCE_DIR}/emu/include ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_emu PRIVATE ${PELLINOR_FUZZ_KERNEL_FLAGS} -Wall -Wextra)
target_link_libraries(fuzz_emu PUBLIC Threads::Threads)

set(fuzz_driver_sources)
foreach(dir capi framework trace log control filter)
  file(GLOB dir_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND fuzz_driver_sources ${dir_sources})
endforeach()
list(FILTER fuzz_driver_sources EXCLUDE REGEX "/framework/CxxRuntime\\.cpp$")
add_library(fuzz_driver STATIC EXCLUDE_FROM_ALL ${fuzz_driver_sources})
target_compile_options(fuzz_driver PRIVATE ${PELLINOR_FUZZ_KERNEL_FLAGS} ${PELLINOR_KERNEL_FLAGS})
target_link_libraries(fuzz_driver PUBLIC fuzz_emu)

# pellinor_fuzz_target(NAME SOURCE MAX_LEN SEED_DIR): a libFuzzer program
# over the instrumented driver, and its CTest run: PELLINOR_FUZZ_SECONDS
# (default 60) from the checked-in seeds under fuzz/seeds/NAME, given as a
# list of files (under qemu-i386 libFuzzer cannot read directories), each
# run from an empty working corpus. A finding fails the test and leaves
# NAME-crash-* (or -leak-, -timeout-) in the build folder. The same run
# under the label fuzz-long lasts PELLINOR_FUZZ_LONG_SECONDS (default 3600);
# it is skipped unless PELLINOR_FUZZ_LONG=1, because the fuzz stage of
# build.sh runs every test of the fuzz build.
function(pellinor_fuzz_target name source max_len)
  add_executable(fuzz_${name} ${source})
  target_include_directories(fuzz_${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(fuzz_${name} PRIVATE ${PELLINOR_FUZZ_FLAGS} -fno-sanitize=vptr -Wall -Wextra)
  target_link_options(fuzz_${name} PRIVATE ${PELLINOR_FUZZ_FLAGS})
  target_link_libraries(fuzz_${name} PRIVATE fuzz_driver ${ARGN})
  set(seeds ${CMAKE_CURRENT_SOURCE_DIR}/seeds/${name})
  foreach(kind short long)
    if(kind STREQUAL short)
      set(test fuzz_${name})
      set(gate "")
      set(seconds "\${PELLINOR_FUZZ_SECONDS:-60}")
    else()
      set(test fuzz_${name}_long)
      set(gate "[ \"\${PELLINOR_FUZZ_LONG:-0}\" = 1 ] || exit 77; ")
      set(seconds "\${PELLINOR_FUZZ_LONG_SECONDS:-3600}")
    endif()
    add_test(NAME ${test}
             COMMAND sh -c "${gate}cd \"$1\" && rm -rf corpus-${test} && mkdir corpus-${test} && \
seeds=$(ls -1 \"$2\"/* 2>/dev/null | paste -sd, -) && \
ASAN_OPTIONS=${fuzz_asan_options}:quarantine_size_mb=64 exec ${fuzz_runner} \"$0\" \
-max_total_time=${seconds} -timeout=25 -rss_limit_mb=2048 -max_len=${max_len} \
-print_final_stats=1 -artifact_prefix=./${name}- \${seeds:+-seed_inputs=$seeds} corpus-${test}"
                     $<TARGET_FILE:fuzz_${name}> ${CMAKE_CURRENT_BINARY_DIR} ${seeds})
  endforeach()
  set_tests_properties(fuzz_${name} PROPERTIES TIMEOUT 1200)
  # PELLINOR_FUZZ_LONG=1 ctest -L fuzz-long
  set_tests_properties(fuzz_${name}_long PROPERTIES TIMEOUT 90000 LABELS fuzz-long SKIP_RETURN_CODE 77)
endfunction()
