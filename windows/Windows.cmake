# The Windows configuration, cross-compiled with mingw-w64
# (windows/toolchain-i686-mingw32.cmake):
#
#   pellinor.sys     the kernel driver, from the driver folders and the
#                    Windows seams (windows/SystemStartStage.cpp, the guarded
#                    copy of windows/GuardedCopy.cpp), nothing else
#   pellinorctl.exe  the control tool with its Win32 back end
#   pellinor-log.exe, capidecode.exe
#                    the log tools, for reading and following the log on the
#                    traced machine itself
#   package/         the driver package: pellinor.inf with the four programs,
#                    install.cmd and pellinor-defaults.reg
#
# and, through CTest, the checks of the images and the comparison of the
# kernel structure layouts with the emulated kernel (tests/windows/).

enable_testing()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(NOT CMAKE_OBJDUMP)
  find_program(CMAKE_OBJDUMP NAMES ${PELLINOR_MINGW_TRIPLE}-objdump objdump REQUIRED)
endif()

# CMake links every Windows program against a list of Win32 import libraries
# by default. The driver must see none of them (a stray reference would
# otherwise resolve quietly against a user-mode DLL); the control tool names
# its two.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)

find_path(PELLINOR_DDK_INCLUDE ntddk.h PATH_SUFFIXES ddk
          DOC "mingw-w64's DDK headers (package mingw-w64-i686-dev)")
if(NOT PELLINOR_DDK_INCLUDE)
  message(FATAL_ERROR "mingw-w64's DDK headers (ddk/ntddk.h) not found: install mingw-w64-i686-dev")
endif()

# Kernel code: freestanding, no exceptions, no RTTI, no thread-safe statics and
# no __cxa_atexit (nothing of the C++ run-time exists in the kernel), no stack
# protector (no run-time support for it either), no unwind tables (nothing
# unwinds). -fcheck-new: the driver's operator new returns null on an
# exhausted pool (framework/CxxRuntime.cpp), so constructors must not run on
# it.
set(PELLINOR_WINDOWS_KERNEL_FLAGS
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
    -fcheck-new -fno-stack-protector -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-omit-frame-pointer -Wall -Wextra -Werror)

# The DDK headers accept no older target than Vista (0x0600): below it wdm.h
# names types that nothing declares. The target version only selects
# declarations; every kernel service the driver imports exists since Windows
# 2000, which the import check (tests/windows/driver-imports.txt) holds to.
#
set(PELLINOR_WINDOWS_KERNEL_DEFINITIONS _WIN32_WINNT=0x0600 NTDDI_VERSION=0x06000000)
# Where the DDK headers and what the driver sources expect of <ntddk.h> part
# (an intrinsic that wdm.h defines twice in C++, sprintf and vsprintf left
# undeclared, PsTerminateSystemThread not marked as never returning),
# windows/DdkCompat.h mends it, read ahead of every source.
list(APPEND PELLINOR_WINDOWS_KERNEL_FLAGS -include ${PROJECT_SOURCE_DIR}/windows/DdkCompat.h)

# pellinor_windows_kernel_code(TARGET): compile TARGET's sources as kernel code
# against the DDK headers. SYSTEM: warnings inside the DDK headers are not the
# driver's, and must not stop the build under -Werror.
function(pellinor_windows_kernel_code target)
  target_compile_options(${target} PRIVATE ${PELLINOR_WINDOWS_KERNEL_FLAGS})
  target_compile_definitions(${target} PRIVATE ${PELLINOR_WINDOWS_KERNEL_DEFINITIONS})
  target_include_directories(${target} SYSTEM BEFORE PRIVATE ${PELLINOR_DDK_INCLUDE})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
endfunction()

# Every driver source, as the host build globs them. The C++ run-time pieces
# (framework/CxxRuntime.cpp) join only at the link of pellinor.sys.
set(PELLINOR_DRIVER_DIRS framework filter trace capi log control)
set(pellinor_driver_sources)
foreach(dir ${PELLINOR_DRIVER_DIRS})
  file(GLOB dir_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND pellinor_driver_sources ${dir_sources})
endforeach()
list(FILTER pellinor_driver_sources EXCLUDE REGEX "/framework/CxxRuntime\\.cpp$")
list(APPEND pellinor_driver_sources ${PROJECT_SOURCE_DIR}/windows/SystemStartStage.cpp
     ${PROJECT_SOURCE_DIR}/windows/GuardedCopy.cpp)

# Every driver change compiles for Windows, whether or not pellinor.sys can be
# linked yet.
add_library(pellinor_driver_objects OBJECT ${pellinor_driver_sources})
pellinor_windows_kernel_code(pellinor_driver_objects)

# pellinor.sys needs DriverEntry and the pool allocator of framework/. While
# the framework does not have them yet, the link is left out (and its checks
# are reported as skipped) rather than failing. Any edit of a driver source
# re-runs this test, so the link appears as soon as DriverEntry does.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pellinor_driver_sources})
set(PELLINOR_HAVE_DRIVER_ENTRY OFF)
foreach(source ${pellinor_driver_sources})
  file(STRINGS ${source} hits REGEX "DriverEntry[ \t]*\\(")
  if(hits)
    set(PELLINOR_HAVE_DRIVER_ENTRY ON)
  endif()
endforeach()
if(PELLINOR_HAVE_DRIVER_ENTRY AND EXISTS ${PROJECT_SOURCE_DIR}/framework/Pool.h)
  set(PELLINOR_BUILD_SYS ON)
else()
  set(PELLINOR_BUILD_SYS OFF)
  message(STATUS "pellinor.sys not linked: framework/ has no DriverEntry or Pool.h yet")
endif()

# The message table of the driver's event log entries
# (windows/PellinorEvents.mc): windmc makes the table and its resource
# script, windres the object linked into pellinor.sys. -c sets the customer
# bit of every code. The driver takes its codes from framework/EventCodes.h,
# not from windmc's header, so that the host build needs no windmc; the
# image check holds the table to that header.
find_program(PELLINOR_WINDMC NAMES ${PELLINOR_MINGW_TRIPLE}-windmc windmc REQUIRED
             DOC "mingw-w64's message compiler (package binutils-mingw-w64-i686)")
if(NOT CMAKE_RC_COMPILER)
  find_program(CMAKE_RC_COMPILER NAMES ${PELLINOR_MINGW_TRIPLE}-windres windres REQUIRED)
endif()
set(PELLINOR_EVENTS_MC ${PROJECT_SOURCE_DIR}/windows/PellinorEvents.mc)
set(PELLINOR_EVENTS_DIR ${CMAKE_CURRENT_BINARY_DIR}/events)
add_custom_command(
    OUTPUT ${PELLINOR_EVENTS_DIR}/PellinorEvents.rc ${PELLINOR_EVENTS_DIR}/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PELLINOR_EVENTS_DIR}
    COMMAND ${PELLINOR_WINDMC} -c -h ${PELLINOR_EVENTS_DIR} -r ${PELLINOR_EVENTS_DIR}
            ${PELLINOR_EVENTS_MC}
    DEPENDS ${PELLINOR_EVENTS_MC}
    COMMENT "Compiling the event log messages"
    VERBATIM)
add_custom_command(
    OUTPUT ${PELLINOR_EVENTS_DIR}/PellinorEvents.res.obj
    COMMAND ${CMAKE_RC_COMPILER} -J rc -O coff -i PellinorEvents.rc -o PellinorEvents.res.obj
    DEPENDS ${PELLINOR_EVENTS_DIR}/PellinorEvents.rc ${PELLINOR_EVENTS_DIR}/MSG00409.bin
    WORKING_DIRECTORY ${PELLINOR_EVENTS_DIR}
    VERBATIM)
set_source_files_properties(${PELLINOR_EVENTS_DIR}/PellinorEvents.res.obj PROPERTIES
                            EXTERNAL_OBJECT TRUE GENERATED TRUE)

# pellinor_windows_driver(TARGET BASE): link TARGET as a kernel driver
# image, BASE.sys. No C run-time and no start-up code; the native subsystem;
# the kernel calls DriverEntry (stdcall, 8 bytes of arguments) directly.
# Relocations stay in the image, since the loader puts a driver wherever
# there is room. No automatic data imports: they would need the user-mode
# run-time's pseudo-relocation pass. Symbols and debug sections are stripped
# (BASE.map keeps the addresses); no time stamp, so that the same sources
# give the same image. ntoskrnl.exe and hal.dll; libgcc (static) for the
# 64-bit division and shift helpers, which may in turn need memset/memcpy of
# ntoskrnl. The loader checks the image checksum of a driver; it is computed
# after the link, over the final file.
function(pellinor_windows_driver target base)
  pellinor_windows_kernel_code(${target})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${base} SUFFIX .sys)
  target_link_options(${target} PRIVATE
      -nostdlib -nostartfiles -s
      -Wl,--subsystem,native
      -Wl,--entry,_DriverEntry@8
      -Wl,--dynamicbase -Wl,--nxcompat
      -Wl,--image-base,0x10000
      -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
      -Wl,--major-os-version,5 -Wl,--minor-os-version,0
      -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,0
      -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
      -Wl,--exclude-all-symbols -Wl,--no-insert-timestamp
      -Wl,-Map,${CMAKE_CURRENT_BINARY_DIR}/${base}.map)
  target_link_libraries(${target} PRIVATE ntoskrnl hal gcc ntoskrnl)
  add_custom_command(TARGET ${target} POST_BUILD
      COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/windows/pechecksum.py $<TARGET_FILE:${target}>
      VERBATIM)
endfunction()

if(PELLINOR_BUILD_SYS)
  add_executable(pellinor_sys $<TARGET_OBJECTS:pellinor_driver_objects>
                              ${PROJECT_SOURCE_DIR}/framework/CxxRuntime.cpp
                              ${PELLINOR_EVENTS_DIR}/PellinorEvents.res.obj)
  pellinor_windows_driver(pellinor_sys pellinor)
endif()

# The control tool: its core and the Win32 back end. User mode, ordinary C++;
# libstdc++ and libgcc are linked statically so that the program needs no
# mingw DLL next to it.
set(PELLINORCTL_DIR ${PROJECT_SOURCE_DIR}/tools/pellinorctl)
add_executable(pellinorctl
    ${PELLINORCTL_DIR}/ControlTool.cpp
    ${PELLINORCTL_DIR}/StartFailure.cpp
    ${PELLINORCTL_DIR}/StatusNames.cpp
    ${PROJECT_SOURCE_DIR}/trace/NameTables.cpp
    ${PELLINORCTL_DIR}/WindowsBackend.cpp
    ${PELLINORCTL_DIR}/WindowsMain.cpp)
target_include_directories(pellinorctl PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(pellinorctl PRIVATE -Wall -Wextra -Werror)
target_compile_definitions(pellinorctl PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_link_options(pellinorctl PRIVATE -static -Wl,--no-insert-timestamp)
target_link_libraries(pellinorctl PRIVATE advapi32 kernel32)

# The log tools for the traced machine itself: pellinor-log.exe (with
# `follow`, the live view) and capidecode.exe. User mode, ordinary C++ as in
# the host build; linked statically like pellinorctl.exe, so that they need
# only the system's DLLs. No zlib here: pellinor-log.exe refuses a
# gzip-compressed log with a message, as any build without zlib does.
set(PELLINOR_TOOL_OPTIONS -Wall -Wextra -Werror)
set(PELLINOR_TOOL_DEFINITIONS WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)

# The CAPI decoder and the trace's message check (kernel-free driver code)
# for capidecode.exe, as the native build takes them.
file(GLOB pellinor_capi_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/capi/*.cpp)
set(CAPIDECODE_DIR ${PROJECT_SOURCE_DIR}/tools/capidecode)
add_executable(capidecode
    ${pellinor_capi_sources}
    ${PROJECT_SOURCE_DIR}/trace/CapiMessageCheck.cpp
    ${PROJECT_SOURCE_DIR}/trace/HexDump.cpp
    ${CAPIDECODE_DIR}/CapiDecode.cpp
    ${CAPIDECODE_DIR}/main.cpp)

set(PELLINOR_LOG_DIR ${PROJECT_SOURCE_DIR}/tools/pellinor-log)
add_executable(pellinor-log
    ${PELLINOR_LOG_DIR}/CallAnalyzer.cpp
    ${PELLINOR_LOG_DIR}/CallProgress.cpp
    ${PELLINOR_LOG_DIR}/CapiExplain.cpp
    ${PELLINOR_LOG_DIR}/GrepSink.cpp
    ${PELLINOR_LOG_DIR}/GrowingFile.cpp
    ${PELLINOR_LOG_DIR}/JsonWriter.cpp
    ${PELLINOR_LOG_DIR}/LiveView.cpp
    ${PELLINOR_LOG_DIR}/LogCommand.cpp
    ${PELLINOR_LOG_DIR}/LogFollower.cpp
    ${PELLINOR_LOG_DIR}/LogInput.cpp
    ${PELLINOR_LOG_DIR}/LogReader.cpp
    ${PELLINOR_LOG_DIR}/MappedLog.cpp
    ${PELLINOR_LOG_DIR}/ReportWriter.cpp
    ${PELLINOR_LOG_DIR}/StopRequest.cpp
    ${PELLINOR_LOG_DIR}/main.cpp)

foreach(tool capidecode pellinor-log)
  # _fstat64 of their own: the msvcrt.dll of Windows 98/Me lacks it.
  target_sources(${tool} PRIVATE ${PROJECT_SOURCE_DIR}/windows/runtime/OldRuntimeStat.cpp)
  target_include_directories(${tool} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${tool} PRIVATE ${PELLINOR_TOOL_OPTIONS})
  target_compile_definitions(${tool} PRIVATE ${PELLINOR_TOOL_DEFINITIONS})
  target_link_options(${tool} PRIVATE -static -Wl,--no-insert-timestamp)
  target_link_libraries(${tool} PRIVATE kernel32)
endforeach()

# The driver package: one folder to copy to the Windows machine, with the
# INF (windows/pellinor.inf) and every file it names, and the scripted ways
# beside it.
if(PELLINOR_BUILD_SYS)
  set(PELLINOR_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
  set(package_sources ${PROJECT_SOURCE_DIR}/windows/pellinor.inf ${PROJECT_SOURCE_DIR}/windows/install.cmd
                      ${PROJECT_SOURCE_DIR}/windows/pellinor-defaults.reg)
  set(package_files)
  foreach(source ${package_sources})
    get_filename_component(name ${source} NAME)
    list(APPEND package_files ${PELLINOR_PACKAGE_DIR}/${name})
  endforeach()
  foreach(program pellinor.sys pellinorctl.exe pellinor-log.exe capidecode.exe)
    list(APPEND package_files ${PELLINOR_PACKAGE_DIR}/${program})
  endforeach()
  add_custom_command(
      OUTPUT ${package_files}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PELLINOR_PACKAGE_DIR}
      COMMAND ${CMAKE_COMMAND} -E copy ${package_sources} $<TARGET_FILE:pellinor_sys>
              $<TARGET_FILE:pellinorctl> $<TARGET_FILE:pellinor-log> $<TARGET_FILE:capidecode>
              ${PELLINOR_PACKAGE_DIR}
      DEPENDS ${package_sources} pellinor_sys pellinorctl pellinor-log capidecode
      COMMENT "Driver package in ${PELLINOR_PACKAGE_DIR}"
      VERBATIM)
  add_custom_target(driver_package ALL DEPENDS ${package_files})
endif()

include(${PROJECT_SOURCE_DIR}/tests/windows/WindowsChecks.cmake)

# Test setup of the Wine job (windows/wine/), never part of the package: the
# shim driver that stands in for the kernel routines Wine has only as
# placeholders, and the setup tool that puts services in one driver host.
# User-mode Win32 code by nature (Wine runs drivers in a process), so built
# like a program, with a driver's entry and subsystem.
add_executable(pellinor_wine_shim ${PROJECT_SOURCE_DIR}/windows/wine/shim/WineShim.cpp)
set_target_properties(pellinor_wine_shim PROPERTIES OUTPUT_NAME pellinor-wine-shim SUFFIX .sys)
target_compile_options(pellinor_wine_shim PRIVATE -Wall -Wextra -Werror -fno-exceptions -fno-rtti
                                                  -fno-asynchronous-unwind-tables)
target_compile_definitions(pellinor_wine_shim PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_link_options(pellinor_wine_shim PRIVATE -nostdlib -nostartfiles -s
    -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -Wl,--dynamicbase
    -Wl,--image-base,0x20000 -Wl,--no-insert-timestamp)
set(shim_imports ${CMAKE_CURRENT_BINARY_DIR}/libshim-kernelbase.a)
add_custom_command(OUTPUT ${shim_imports}
    COMMAND ${PELLINOR_MINGW_TRIPLE}-dlltool -k -d ${PROJECT_SOURCE_DIR}/windows/wine/shim/kernelbase.def
            -l ${shim_imports}
    DEPENDS ${PROJECT_SOURCE_DIR}/windows/wine/shim/kernelbase.def VERBATIM)
add_custom_target(shim_kernelbase_imports DEPENDS ${shim_imports})
add_dependencies(pellinor_wine_shim shim_kernelbase_imports)
target_link_libraries(pellinor_wine_shim PRIVATE ${shim_imports} ntoskrnl gcc)
add_custom_command(TARGET pellinor_wine_shim POST_BUILD
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/windows/pechecksum.py $<TARGET_FILE:pellinor_wine_shim>
    VERBATIM)
add_executable(pellinor_wine_setup ${PROJECT_SOURCE_DIR}/windows/wine/shim/WineSetup.cpp)
set_target_properties(pellinor_wine_setup PROPERTIES OUTPUT_NAME pellinor-wine-setup)
target_compile_options(pellinor_wine_setup PRIVATE -Wall -Wextra -Werror -municode)
target_compile_definitions(pellinor_wine_setup PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_link_options(pellinor_wine_setup PRIVATE -static -municode -Wl,--no-insert-timestamp)
target_link_libraries(pellinor_wine_setup PRIVATE advapi32 kernel32)

# Test setup of the Wine job as well: the simulated CAPI provider as a
# Windows kernel driver (windows/capisim/), the provider code of the
# emulated machine built as kernel code.
add_executable(capisim_sys
    ${PROJECT_SOURCE_DIR}/sim/Application.cpp
    ${PROJECT_SOURCE_DIR}/sim/CapiProvider.cpp
    ${PROJECT_SOURCE_DIR}/sim/LineModel.cpp
    ${PROJECT_SOURCE_DIR}/sim/MessageBuilder.cpp
    ${PROJECT_SOURCE_DIR}/sim/ProviderDevice.cpp
    ${PROJECT_SOURCE_DIR}/windows/capisim/CapiSimDriver.cpp
    ${PROJECT_SOURCE_DIR}/windows/capisim/KernelClient.cpp
    ${PROJECT_SOURCE_DIR}/windows/capisim/KernelUserSpace.cpp)
pellinor_windows_driver(capisim_sys capisim)
include(${PROJECT_SOURCE_DIR}/windows/capiapp/CapiApp.cmake)
