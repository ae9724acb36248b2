# The shipped driver image in the emulated kernel. PELLINOR_WINDOWS_IMAGE is
# pellinor.sys of a Windows build (build.sh builds it before the host tests);
# without it, or while the file is absent, these tests are skipped.
set(PELLINOR_WINDOWS_IMAGE "" CACHE FILEPATH
    "pellinor.sys of the Windows build, for the tests that load the shipped image")
# The image loader's own tests, and the concurrency test of the filter and
# the user pointer tests run once more with the image.
foreach(target emu_tests filter_tests badinput_tests)
  if(TARGET ${target})
    target_compile_definitions(${target} PRIVATE PELLINOR_WINDOWS_IMAGE="${PELLINOR_WINDOWS_IMAGE}")
  endif()
endforeach()

# The bundled scenarios run with the host build and with pellinor.sys, and
# compared (tests/image/).
pellinor_test(image_tests image pellinor_driver)
if(TARGET image_tests)
  add_dependencies(image_tests pellinor-sim)
  # The address naming of the trace's golden logs.
  target_sources(image_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/pipeline/TraceHarness.cpp)
  target_compile_definitions(image_tests PRIVATE
                             PELLINOR_WINDOWS_IMAGE="${PELLINOR_WINDOWS_IMAGE}"
                             PELLINOR_SIM_PROGRAM="$<TARGET_FILE:pellinor-sim>"
                             PELLINOR_SIM_RUNNER="${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
