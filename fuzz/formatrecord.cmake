# fuzz_formatrecord: formatRecord over arbitrary records (FuzzFormatRecord.cpp),
# from the seeds in seeds/formatrecord.
include(${CMAKE_CURRENT_LIST_DIR}/kernel.cmake)
pellinor_fuzz_target(formatrecord FuzzFormatRecord.cpp 1024)
