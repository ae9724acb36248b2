# Helpers shared by the host build's folders.

# Kernel code: the folders that also build into pellinor.sys. No exceptions,
# no RTTI, no thread-safe statics (there is no C++ run-time in the kernel),
# warnings are errors.
set(PELLINOR_KERNEL_FLAGS
    -Wall -Wextra -Werror
    -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit)

# pellinor_kernel_library(NAME "DIR;DIR..." [DEPS ...]): a static library of
# every .cpp in the folders, compiled as kernel code; with pellinor_emu among
# the DEPS it sees <ntddk.h> of the emulated kernel.
function(pellinor_kernel_library name dirs)
  set(sources)
  foreach(dir ${dirs})
    file(GLOB dir_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${dir_sources})
  endforeach()
  # The kernel's own C++ run-time pieces belong to pellinor.sys only; the host
  # build keeps the ordinary run-time library (windows/Windows.cmake).
  list(FILTER sources EXCLUDE REGEX "/framework/CxxRuntime\\.cpp$")
  if(NOT sources)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_compile_options(${name} PRIVATE ${PELLINOR_KERNEL_FLAGS})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

# pellinor_test(NAME DIR LIBS...): one GoogleTest executable of every .cpp in
# DIR, registered with CTest test by test.
function(pellinor_test name dir)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARGN} gtest gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE PELLINOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# Some Linux kernels are built without 32-bit support. There the i386
# programs of the host build (tests, tools, benchmarks) run under qemu-i386
# user-mode emulation: CTest uses it through CMAKE_CROSSCOMPILING_EMULATOR,
# and build.sh reads the runner from i386-runner in the build folder.
macro(pellinor_i386_runner)
  set(probe ${CMAKE_BINARY_DIR}/i386-probe)
  file(WRITE ${probe}.c "int main(void) { return 0; }\n")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 ${probe}.c -o ${probe}
                  RESULT_VARIABLE probe_cc OUTPUT_QUIET ERROR_QUIET)
  if(NOT probe_cc EQUAL 0)
    message(FATAL_ERROR "cannot build i386 programs: install g++-multilib")
  endif()
  execute_process(COMMAND ${probe} RESULT_VARIABLE probe_run OUTPUT_QUIET ERROR_QUIET)
  if(probe_run EQUAL 0)
    file(WRITE ${CMAKE_BINARY_DIR}/i386-runner "")
  else()
    find_program(QEMU_I386 qemu-i386)
    if(NOT QEMU_I386)
      message(FATAL_ERROR "this kernel cannot run i386 programs: install qemu-user")
    endif()
    message(STATUS "i386 programs run under ${QEMU_I386}")
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_I386})
    file(WRITE ${CMAKE_BINARY_DIR}/i386-runner "${QEMU_I386}")
  endif()
endmacro()
