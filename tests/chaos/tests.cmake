# The concurrency tests again under the emulated kernel's chaos mode
# (emu/Chaos.h), each under seeds of its own: the seed makes each thread's
# decisions to yield or sleep repeatable, so a failure is rerun with
#   PELLINOR_CHAOS_SEED=<n> filter_tests --gtest_filter=FilterConcurrency.*
# (the seed is printed at the top of the test's output and in any bug
# check). The host scheduler itself is not repeatable: a seed that failed
# once may need a few runs to fail again. Label `chaos`
# (ctest -L chaos runs only these).
#
# The targets are defined by the areas' own tests.cmake, some included after
# this one; add_test resolves them when the build system is generated.

# The filter's start, stop and forced stop while clients of both modes send
# traffic completed from DPCs: about a second a seed under qemu-i386.
set(PELLINOR_CHAOS_FILTER_SEEDS 16 CACHE STRING
    "How many chaos seeds (1..N) the filter's concurrency tests run under")
foreach(seed RANGE 1 ${PELLINOR_CHAOS_FILTER_SEEDS})
  if(seed EQUAL 0)
    break()  # no seeds: RANGE 1 0 counts down
  endif()
  add_test(NAME chaos_filter_concurrency_seed_${seed}
           COMMAND filter_tests --gtest_filter=FilterConcurrency.*)
  set_tests_properties(chaos_filter_concurrency_seed_${seed} PROPERTIES
                       ENVIRONMENT "PELLINOR_CHAOS_SEED=${seed}" LABELS chaos TIMEOUT 300)
endforeach()

# The soak (reliability_tests, suite Soak) for five seconds a seed. Where the
# suite does not exist the filter matches nothing and the test passes.
set(PELLINOR_CHAOS_SOAK_SEEDS 3 CACHE STRING
    "How many chaos seeds (1..N) the five-second soak runs under")
foreach(seed RANGE 1 ${PELLINOR_CHAOS_SOAK_SEEDS})
  if(seed EQUAL 0)
    break()
  endif()
  add_test(NAME chaos_soak_seed_${seed} COMMAND reliability_tests --gtest_filter=Soak.*)
  set_tests_properties(chaos_soak_seed_${seed} PROPERTIES
                       ENVIRONMENT "PELLINOR_CHAOS_SEED=${seed};PELLINOR_SOAK_SECONDS=5"
                       LABELS chaos TIMEOUT 300)
endforeach()

# The environment variable turns chaos mode on before anything runs.
add_test(NAME chaos_seed_from_environment
         COMMAND emu_tests --gtest_filter=ChaosEnvironment.*)
set_tests_properties(chaos_seed_from_environment PROPERTIES
                     ENVIRONMENT "PELLINOR_CHAOS_SEED=4242" LABELS chaos)
