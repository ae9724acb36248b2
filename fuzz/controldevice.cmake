# fuzz_controldevice: the control device's Dispatch on arbitrary I/O control
# codes, lengths and contents (FuzzControlDevice.cpp), the driver loaded once
# per process, from the seeds in seeds/controldevice.
include(${CMAKE_CURRENT_LIST_DIR}/kernel.cmake)
pellinor_fuzz_target(controldevice FuzzControlDevice.cpp 1024)
