# The shipped driver image in the emulated kernel. PELLINOR_WINDOWS_IMAGE is
# pellinor.sys of a Windows build (build.sh builds it before the host tests);
# without it, or while the file is absent, these tests are skipped.
set(PELLINOR_WINDOWS_IMAGE "" CACHE FILEPATH
    "pellinor.sys of the Windows build, for the tests that load the shipped image")
if(TARGET emu_tests)
  target_compile_definitions(emu_tests PRIVATE PELLINOR_WINDOWS_IMAGE="${PELLINOR_WINDOWS_IMAGE}")
endif()
