# pellinor-log: the reader, the analysis and the program, on golden logs,
# generated whole-session logs and damaged input. Builds natively too.
pellinor_test(pellinorlog_tests pellinorlog pellinor_log_reader pellinor_log_generator)
if(TARGET pellinorlog_tests)
  add_dependencies(pellinorlog_tests pellinor-log)
  target_compile_definitions(pellinorlog_tests PRIVATE
      PELLINOR_LOG_PROGRAM="$<TARGET_FILE:pellinor-log>"
      PELLINOR_LOG_RUNNER="${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
