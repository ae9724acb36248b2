# fuzz_pellinorlog: pellinor-log's reader, analysis and reports over
# arbitrary logs (fuzz/FuzzLogReader.cpp), seeded with the golden logs of the
# pipeline and the filter's whole-session logs. Run like fuzz_capidecode:
# PELLINOR_FUZZ_SECONDS (default 60) from the seeds, a finding fails the test.
set(pellinorlog_dir ${PROJECT_SOURCE_DIR}/tools/pellinor-log)
add_executable(fuzz_pellinorlog
  FuzzLogReader.cpp
  ${pellinorlog_dir}/CapiExplain.cpp
  ${pellinorlog_dir}/LogReader.cpp
  ${pellinorlog_dir}/CallAnalyzer.cpp
  ${pellinorlog_dir}/CallProgress.cpp
  ${pellinorlog_dir}/JsonWriter.cpp
  ${pellinorlog_dir}/ReportWriter.cpp)
target_include_directories(fuzz_pellinorlog PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(fuzz_pellinorlog PRIVATE ${PELLINOR_FUZZ_FLAGS} -Wall -Wextra)
target_link_options(fuzz_pellinorlog PRIVATE ${PELLINOR_FUZZ_FLAGS})

# Seeds straight from the source tree, as a list of files (under qemu-i386
# libFuzzer cannot read directories).
add_test(NAME fuzz_pellinorlog
         COMMAND sh -c "cd \"$1\" && rm -rf corpus-pellinorlog && mkdir corpus-pellinorlog && \
seeds=$(ls -1 \"$2\"/tests/data/trace/*.log \"$2\"/tests/data/filter/*.log 2>/dev/null | paste -sd, -) && \
ASAN_OPTIONS=${fuzz_asan_options}:quarantine_size_mb=64 exec ${fuzz_runner} \"$0\" \
-max_total_time=\${PELLINOR_FUZZ_SECONDS:-60} -timeout=25 -rss_limit_mb=2048 -max_len=8192 \
-print_final_stats=1 -artifact_prefix=./pellinorlog- \${seeds:+-seed_inputs=$seeds} corpus-pellinorlog"
                 $<TARGET_FILE:fuzz_pellinorlog> ${CMAKE_CURRENT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(fuzz_pellinorlog PROPERTIES TIMEOUT 1200)
