# Reliability under faults and load: fault sweeps over the bundled
# scenarios, run in process through the scenario runner, and the soak. The
# default run samples each sweep and soaks for 60 s. The whole sweep is the
# test reliability_sweep_full (label `sweep`), the long soak
# reliability_soak_long (label `soak`); plain ctest runs every test whatever
# its label, so each is only registered with its option.
option(PELLINOR_RELIABILITY_FULL "Register the whole fault sweep (CTest label sweep)" OFF)
option(PELLINOR_SOAK_LONG "Register the 900-second soak (CTest label soak)" OFF)
pellinor_test(reliability_tests reliability pellinor_sim_runner)
if(TARGET reliability_tests)
  # The address normalisation of the trace's golden logs.
  target_sources(reliability_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/pipeline/TraceHarness.cpp)
  # The soak reads its log with pellinor-log's reader, and counts the records
  # the driver hands to its log writer at LogWriter::Submit
  # (reliability/SoakRecordCount.cpp).
  target_link_libraries(reliability_tests PRIVATE pellinor_log_reader)
  target_link_options(reliability_tests PRIVATE
                      "LINKER:--wrap=_ZN9LogWriter6SubmitEP11TraceRecord")
  if(PELLINOR_RELIABILITY_FULL)
    add_test(NAME reliability_sweep_full COMMAND reliability_tests --gtest_filter=FaultSweep.*)
    set_tests_properties(reliability_sweep_full PROPERTIES
                         ENVIRONMENT "PELLINOR_SWEEP=full" LABELS sweep TIMEOUT 7200)
  endif()
  if(PELLINOR_SOAK_LONG)
    add_test(NAME reliability_soak_long COMMAND reliability_tests --gtest_filter=Soak.*)
    set_tests_properties(reliability_soak_long PROPERTIES
                         ENVIRONMENT "PELLINOR_SOAK_SECONDS=900" LABELS soak TIMEOUT 3600)
  endif()
endif()
