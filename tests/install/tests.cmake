# `cmake --install` of the host build's tools: what lands where, and each
# program's manual page in step with the program. Host build only (the
# native build installs two of the three programs).
pellinor_test(install_tests install)
if(TARGET install_tests)
  add_dependencies(install_tests capidecode pellinor-log pellinor-sim)
  target_compile_definitions(install_tests PRIVATE
      PELLINOR_CMAKE="${CMAKE_COMMAND}"
      PELLINOR_BUILD_DIR="${CMAKE_BINARY_DIR}"
      PELLINOR_RUNNER="${CMAKE_CROSSCOMPILING_EMULATOR}")
endif()
