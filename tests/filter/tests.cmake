# The trace filter in the emulated kernel: the driver loaded above a
# scripted CAPI device and above the simulated one.
pellinor_test(filter_tests filter pellinor_driver pellinor_sim)
if(TARGET filter_tests)
  # The address normalisation and the temporary drive C of the pipeline
  # tests.
  target_sources(filter_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/pipeline/TraceHarness.cpp)
endif()
