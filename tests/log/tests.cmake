# The writer-thread tests make the kernel's thread reference fail: every
# ObReferenceObjectByHandle of log_tests goes through a wrapper of the test
# (tests/log/WriterThreadTest.cpp) that forwards to the real one unless told.
if(TARGET log_tests AND NOT MINGW)
  target_link_options(log_tests PRIVATE -Wl,--wrap=ObReferenceObjectByHandle)
endif()
