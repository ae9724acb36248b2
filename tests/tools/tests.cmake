# capidecode: its core in process, and the built program end to end. Builds
# natively too.
pellinor_test(tools_tests tools capidecode_core)
if(TARGET tools_tests)
  add_dependencies(tools_tests capidecode)
  target_compile_definitions(tools_tests PRIVATE CAPIDECODE_PROGRAM="$<TARGET_FILE:capidecode>"
                                                 CAPIDECODE_RUNNER="${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
