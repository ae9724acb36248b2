# capi_tests also compare today's text with the code it replaced
# (bench/baseline) and need the message check and hex dump of trace/, which
# the host build has in pellinor_driver and the native build in
# pellinor_capi_check.
if(PELLINOR_NATIVE)
  pellinor_test(capi_tests capi pellinor_capi_check pellinor_capi_baseline)
elseif(TARGET capi_tests)
  target_link_libraries(capi_tests PRIVATE pellinor_driver pellinor_capi_baseline)
endif()
