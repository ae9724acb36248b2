# Reliability under faults and load: fault sweeps over the bundled
# scenarios, run in process through the scenario runner. The default run
# samples each sweep. The whole sweep is the test reliability_sweep_full
# (label `sweep`); plain ctest runs every test whatever its label, so it is
# only registered with -DPELLINOR_RELIABILITY_FULL=ON.
option(PELLINOR_RELIABILITY_FULL "Register the whole fault sweep (CTest label sweep)" OFF)
pellinor_test(reliability_tests reliability pellinor_sim_runner)
if(TARGET reliability_tests)
  # The address normalisation of the trace's golden logs.
  target_sources(reliability_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/pipeline/TraceHarness.cpp)
  if(PELLINOR_RELIABILITY_FULL)
    add_test(NAME reliability_sweep_full COMMAND reliability_tests --gtest_filter=FaultSweep.*)
    set_tests_properties(reliability_sweep_full PROPERTIES
                         ENVIRONMENT "PELLINOR_SWEEP=full" LABELS sweep TIMEOUT 7200)
  endif()
endif()
