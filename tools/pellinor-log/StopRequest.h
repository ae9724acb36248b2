// Ctrl-C (and, on POSIX, SIGTERM) for a program that runs until it is told
// to stop: the signal only asks, the program's loop ends at its next look,
// so that what it holds is written out before it exits. A wait between two
// looks ends at once when the request comes.
#pragma once

namespace pellinorlog {

class StopRequest {
 public:
  StopRequest() = delete;

  // Takes over Ctrl-C for the rest of the program.
  static void Install();
  static bool Requested();
  // Waits `ms` milliseconds, or until the request comes.
  static void Wait(unsigned ms);
};

}  // namespace pellinorlog
