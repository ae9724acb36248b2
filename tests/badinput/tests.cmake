# Bad input from user mode: the trace driver above a device that hands back
# user pointers, and the control device under every short, missing and
# oversized buffer.
pellinor_test(badinput_tests badinput pellinor_driver ${PELLINOR_SIM_LIBRARY})
if(TARGET badinput_tests)
  target_sources(badinput_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/filter/FilterHarness.cpp
                                        ${CMAKE_CURRENT_SOURCE_DIR}/pipeline/TraceHarness.cpp)
endif()
