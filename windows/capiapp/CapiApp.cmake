# Test setup of the Wine job (windows/wine/), never part of the driver
# package: capiapp.exe, pellinor-sim's user-mode CAPI application as a
# Win32 program, so that a trace of it under Wine can be set beside the
# emulated machine's line for line. The simulator's application code is
# compiled unchanged against emu's <ntddk.h> (hence emu/include on the
# path); Win32Io.cpp answers its emu:: and sim:: calls with ntdll's, so
# nothing else of emu/ or sim/ is linked. User mode, linked statically like
# pellinorctl.exe: ntdll.dll, kernel32.dll and msvcrt.dll only.
set(CAPIAPP_DIR ${PROJECT_SOURCE_DIR}/windows/capiapp)
add_executable(capiapp
    ${CAPIAPP_DIR}/CapiAppMain.cpp
    ${CAPIAPP_DIR}/ClientApplication.cpp
    ${CAPIAPP_DIR}/Win32Io.cpp
    ${CAPIAPP_DIR}/WineJobSync.cpp
    ${PROJECT_SOURCE_DIR}/sim/CapiApplication.cpp
    ${PROJECT_SOURCE_DIR}/sim/MessageBuilder.cpp
    ${PROJECT_SOURCE_DIR}/sim/UserApplication.cpp
    ${PROJECT_SOURCE_DIR}/trace/NameTables.cpp
    ${PROJECT_SOURCE_DIR}/tools/pellinor-log/CapiExplain.cpp
    ${PROJECT_SOURCE_DIR}/tools/pellinor-sim/CallWords.cpp
    ${PROJECT_SOURCE_DIR}/tools/pellinor-sim/ScenarioScript.cpp)
target_include_directories(capiapp PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/emu/include)
# Built as the log tools are (windows/Windows.cmake).
target_compile_options(capiapp PRIVATE ${PELLINOR_TOOL_OPTIONS})
target_compile_definitions(capiapp PRIVATE ${PELLINOR_TOOL_DEFINITIONS})
target_link_options(capiapp PRIVATE -static -Wl,--no-insert-timestamp)
target_link_libraries(capiapp PRIVATE ntdll kernel32)
