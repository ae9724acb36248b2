# The simulated CAPI provider and applications; the decoder checks that
# every message they build decodes whole.
pellinor_test(sim_tests sim pellinor_sim pellinor_driver)
