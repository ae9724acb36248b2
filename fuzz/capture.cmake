# fuzz_capture: captureRequest and captureCompletion on requests built from
# arbitrary stack-location words over real buffers, user-mode pointers in
# emulated user memory (FuzzCapture.cpp), from the seeds in seeds/capture.
include(${CMAKE_CURRENT_LIST_DIR}/kernel.cmake)
pellinor_fuzz_target(capture FuzzCapture.cpp 2048)
