# pellinor-sim: its language and control-tool back end in process, and the
# built program end to end on the bundled scenarios (logs compared whole
# with tests/data/scenarios/) and on the test scenarios of this folder.
pellinor_test(scenario_tests scenarios pellinor_sim_runner)
if(TARGET scenario_tests)
  add_dependencies(scenario_tests pellinor-sim)
  # The address normalisation of the trace's golden logs.
  target_sources(scenario_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/pipeline/TraceHarness.cpp)
  target_compile_definitions(scenario_tests PRIVATE
                             PELLINOR_SIM_PROGRAM="$<TARGET_FILE:pellinor-sim>"
                             PELLINOR_SIM_RUNNER="${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
