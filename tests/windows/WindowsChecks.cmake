# Checks of the Windows build, run by CTest in the Windows configuration
# (included from windows/Windows.cmake). They run on the build machine: they
# read the images with objdump and compile with both compilers; nothing runs
# on Windows.

set(PELLINOR_CHECKS ${PROJECT_SOURCE_DIR}/tests/windows)
set(PELLINOR_SKIP 77)

# pellinor_skipped_test(NAME WHY): a test reported as skipped, for a check whose
# image is not built yet.
function(pellinor_skipped_test name why)
  add_test(NAME ${name} COMMAND ${Python3_EXECUTABLE} -c "print('skipped: ${why}'); raise SystemExit(${PELLINOR_SKIP})")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE ${PELLINOR_SKIP})
endfunction()

# pellinor.sys: loader-level shape (native subsystem, checksum, relocations,
# entry point, sections) and imports limited to the listed kernel services.
if(PELLINOR_BUILD_SYS)
  add_test(NAME windows_sys_image
           COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_image.py ${CMAKE_OBJDUMP}
                   ${PROJECT_SOURCE_DIR}/windows/pechecksum.py $<TARGET_FILE:pellinor_sys>)
  add_test(NAME windows_sys_imports
           COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_imports.py ${CMAKE_OBJDUMP}
                   ${PELLINOR_CHECKS}/driver-imports.txt $<TARGET_FILE:pellinor_sys>)
  # The event log's texts: the message table linked into the image holds
  # one for each event code the driver writes, and no other.
  add_test(NAME windows_sys_messages
           COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_messages.py
                   $<TARGET_FILE:pellinor_sys> ${PROJECT_SOURCE_DIR}/framework/EventCodes.h)
else()
  pellinor_skipped_test(windows_sys_image "pellinor.sys is not linked yet (no DriverEntry)")
  pellinor_skipped_test(windows_sys_imports "pellinor.sys is not linked yet (no DriverEntry)")
  pellinor_skipped_test(windows_sys_messages "pellinor.sys is not linked yet (no DriverEntry)")
endif()

# The driver package's INF: its sections, what its directives name, and the
# files it names, present in the package folder.
if(PELLINOR_BUILD_SYS)
  add_test(NAME windows_driver_package
           COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_inf.py
                   ${PELLINOR_PACKAGE_DIR}/pellinor.inf ${PELLINOR_PACKAGE_DIR})
else()
  pellinor_skipped_test(windows_driver_package "pellinor.sys is not linked yet (no DriverEntry)")
endif()

# pellinorctl.exe: the Win32 API and the C run-time library only.
add_test(NAME windows_pellinorctl_imports
         COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_imports.py ${CMAKE_OBJDUMP}
                 ${PELLINOR_CHECKS}/pellinorctl-imports.txt $<TARGET_FILE:pellinorctl>)

# pellinor-log.exe and capidecode.exe: system DLLs only, and of kernel32
# only what Windows 98 exports already.
foreach(tool pellinor-log capidecode)
  add_test(NAME windows_${tool}_imports
           COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_imports.py ${CMAKE_OBJDUMP}
                   ${PELLINOR_CHECKS}/tool-imports.txt $<TARGET_FILE:${tool}>)
endforeach()

# Kernel structure layouts: the same translation unit compiled with the DDK
# headers and the driver's Windows flags, and with the emulated kernel's
# headers and the host build's flags (-m32 -fshort-wchar and the kernel
# flags of cmake/Pellinor.cmake), must give the same sizes and offsets.
include(${PROJECT_SOURCE_DIR}/cmake/Pellinor.cmake)
find_program(PELLINOR_HOST_CXX NAMES g++ c++ NO_CMAKE_FIND_ROOT_PATH
             DOC "the host build's C++ compiler, for the layout comparison")
if(NOT PELLINOR_HOST_CXX)
  message(FATAL_ERROR "no host C++ compiler (g++) for the layout comparison")
endif()

set(windows_layout_flags -std=c++17 ${PELLINOR_WINDOWS_KERNEL_FLAGS})
foreach(definition ${PELLINOR_WINDOWS_KERNEL_DEFINITIONS})
  list(APPEND windows_layout_flags -D${definition})
endforeach()
list(APPEND windows_layout_flags -isystem ${PELLINOR_DDK_INCLUDE} -I${PROJECT_SOURCE_DIR})
set(host_layout_flags -std=c++17 -m32 -fshort-wchar ${PELLINOR_KERNEL_FLAGS}
    -I${PROJECT_SOURCE_DIR}/emu/include -I${PROJECT_SOURCE_DIR})
# The generated translation unit is not the driver's code: its warnings do not
# fail the comparison.
list(REMOVE_ITEM windows_layout_flags -Werror)
list(REMOVE_ITEM host_layout_flags -Werror)

function(pellinor_json_list out)
  set(items)
  foreach(item ${ARGN})
    string(REPLACE "\\" "\\\\" item "${item}")
    string(REPLACE "\"" "\\\"" item "${item}")
    list(APPEND items "\"${item}\"")
  endforeach()
  string(JOIN ", " joined ${items})
  set(${out} "[${joined}]" PARENT_SCOPE)
endfunction()

pellinor_json_list(windows_json ${windows_layout_flags})
pellinor_json_list(host_json ${host_layout_flags})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/kernel-layout.json "{
  \"fields\": \"${PELLINOR_CHECKS}/kernel-layout.txt\",
  \"outdir\": \"${CMAKE_CURRENT_BINARY_DIR}\",
  \"windows\": {\"cxx\": \"${CMAKE_CXX_COMPILER}\", \"flags\": ${windows_json}},
  \"host\": {\"cxx\": \"${PELLINOR_HOST_CXX}\", \"flags\": ${host_json}}
}
")
add_test(NAME windows_kernel_layout
         COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/layout.py
                 ${CMAKE_CURRENT_BINARY_DIR}/kernel-layout.json)

# Kernel function declarations: every function of the driver's import list
# has the same type in the emulated kernel as in the DDK headers.
add_test(NAME windows_kernel_signatures
         COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/signatures.py
                 ${CMAKE_CURRENT_BINARY_DIR}/kernel-layout.json ${PELLINOR_CHECKS}/driver-imports.txt)

# The Wine job's shim driver: loaded by Wine as a driver only while it
# imports neither kernel32.dll nor ntdll.dll.
add_test(NAME windows_wine_shim_imports
         COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_imports.py ${CMAKE_OBJDUMP}
                 ${PELLINOR_CHECKS}/wine-shim-imports.txt $<TARGET_FILE:pellinor_wine_shim>)

# The Wine job's CAPI provider driver: the shape of a driver image that
# Windows' loader takes, and kernel imports only.
add_test(NAME windows_capisim_image
         COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_image.py ${CMAKE_OBJDUMP}
                 ${PROJECT_SOURCE_DIR}/windows/pechecksum.py $<TARGET_FILE:capisim_sys>)
add_test(NAME windows_capisim_imports
         COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_imports.py ${CMAKE_OBJDUMP}
                 ${PELLINOR_CHECKS}/capisim-imports.txt $<TARGET_FILE:capisim_sys>)
add_test(NAME windows_capiapp_imports
         COMMAND ${Python3_EXECUTABLE} ${PELLINOR_CHECKS}/check_imports.py ${CMAKE_OBJDUMP}
                 ${PELLINOR_CHECKS}/capiapp-imports.txt $<TARGET_FILE:capiapp>)
