# The native build (-DPELLINOR_NATIVE=ON): the kernel-free code compiled for
# the build machine (x86-64 on Debian), without -m32 and without the emulated
# kernel, so that it runs and is measured at full speed rather than under
# qemu-i386. Configure it in a folder of its own:
#
#   cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
#         -DPELLINOR_NATIVE=ON
#
# What it builds:
#   pellinor_capi        capi/ (decoder, tables, formatter, text sink), as
#                        kernel code with the same flags as the driver
#   pellinor_capi_check  the kernel-free part of trace/: the message check
#                        and the hex dump (trace/CapiMessageCheck.cpp,
#                        trace/HexDump.cpp)
#   capidecode           the offline decoder, with capidecode_core
#   the tools named in PELLINOR_NATIVE_TOOLS (tools/<name>/CMakeLists.txt,
#                        when the folder exists); such a tool must link
#                        nothing but the targets above and the standard
#                        library, and can test `if(PELLINOR_NATIVE)`
#   the GoogleTest areas named in PELLINOR_NATIVE_TESTS (tests/<area>/, by
#                        their tests.cmake when there is one, otherwise as
#                        <area>_tests of every .cpp linked with the libraries
#                        above)
#   the kernel-free benchmarks (bench/CMakeLists.txt, PELLINOR_NATIVE set)
#
# `cmake --install` installs capidecode and pellinor-log with their manual
# pages.
#
# -DPELLINOR_SANITIZE=ON works here as in the host build (and LeakSanitizer
# too, since nothing runs under qemu).
#
# Layout assertions that hold only on i386 are written under
# `#if defined(__i386__)`; everything else must build here unchanged.

set(PELLINOR_NATIVE_TOOLS pellinor-log)

option(PELLINOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(PELLINOR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
set(PELLINOR_NATIVE_TESTS capi pellinorlog tools)

include(cmake/Pellinor.cmake)
enable_testing()

pellinor_kernel_library(pellinor_capi capi)

add_library(pellinor_capi_check STATIC ${PROJECT_SOURCE_DIR}/trace/CapiMessageCheck.cpp
                                       ${PROJECT_SOURCE_DIR}/trace/HexDump.cpp)
target_compile_options(pellinor_capi_check PRIVATE ${PELLINOR_KERNEL_FLAGS})
target_include_directories(pellinor_capi_check PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(pellinor_capi_check PUBLIC pellinor_capi)

add_library(capidecode_core STATIC ${PROJECT_SOURCE_DIR}/tools/capidecode/CapiDecode.cpp)
target_include_directories(capidecode_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(capidecode_core PUBLIC pellinor_capi_check)
target_compile_options(capidecode_core PRIVATE -Wall -Wextra)
add_executable(capidecode ${PROJECT_SOURCE_DIR}/tools/capidecode/main.cpp)
target_link_libraries(capidecode PRIVATE capidecode_core)
# `cmake --install` here: the two kernel-free programs with their pages.
include(GNUInstallDirs)
install(TARGETS capidecode RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/tools/capidecode/capidecode.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/samples/messages.txt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/pellinor/samples)

foreach(tool ${PELLINOR_NATIVE_TOOLS})
  if(EXISTS ${PROJECT_SOURCE_DIR}/tools/${tool}/CMakeLists.txt)
    add_subdirectory(tools/${tool})
  endif()
endforeach()

# GoogleTest from the sources Debian installs, built natively.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(area ${PELLINOR_NATIVE_TESTS})
  set(dir ${PROJECT_SOURCE_DIR}/tests/${area})
  if(NOT EXISTS ${dir})
    continue()
  endif()
  if(EXISTS ${dir}/tests.cmake)
    # pellinor_test() globs relative to the current source folder.
    set(CMAKE_CURRENT_SOURCE_DIR ${PROJECT_SOURCE_DIR}/tests)
    include(${dir}/tests.cmake)
    set(CMAKE_CURRENT_SOURCE_DIR ${PROJECT_SOURCE_DIR})
  else()
    pellinor_test(${area}_tests tests/${area} pellinor_capi_check)
  endif()
endforeach()

add_subdirectory(bench)
