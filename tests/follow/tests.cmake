# pellinor-log follow, the built program, against a log that pellinor-sim
# is writing (tests/follow/rotation.pel); grep in process for comparison.
pellinor_test(follow_tests follow pellinor_log_reader)
if(TARGET follow_tests)
  add_dependencies(follow_tests pellinor-log pellinor-sim)
  target_compile_definitions(follow_tests PRIVATE
      PELLINOR_LOG_PROGRAM="$<TARGET_FILE:pellinor-log>"
      PELLINOR_SIM_PROGRAM="$<TARGET_FILE:pellinor-sim>"
      PELLINOR_I386_RUNNER="${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
