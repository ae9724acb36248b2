// AddressSanitizer's defaults for reliability_tests. The soak allocates and
// frees some 15 MB a second for as long as it runs; freed memory stays in
// the sanitizer's quarantine, by default 256 MB, and an i386 program under
// qemu-i386 runs out of address space before the quarantine is full (the
// allocator's mmap fails and the sanitizer stops with a CHECK). 32 MB keeps
// a use after free caught for the last two seconds or so of frees. An
// ASAN_OPTIONS in the environment still overrides this.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=32";
}
#endif
