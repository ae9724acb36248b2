// What every tool prints for --version: the program and the release it
// belongs to (the driver's own number, control/DriverVersion.h), then the
// build: when the tool's command code was compiled (the same clock as the
// driver's "Build Date"), for which system, by which compiler. A report that
// quotes it names exactly what ran. Header only, as Digits.h: each tool's
// library uses it without linking anything more, pellinorctl.exe included.
#pragma once

#include <string>

#include "control/DriverVersion.h"

namespace pellinortools {

// The system the code was built for, as the build's configurations name it.
constexpr const char* BuildTarget() {
#if defined(_WIN32)
  return "i386 Windows";
#elif defined(__x86_64__)
  return "x86-64 Linux";
#elif defined(__i386__)
  return "i386 Linux";
#else
  return "unknown system";
#endif
}

// "NAME (Pellinor) 2.0\nbuild: 14:03:07 Jan  5 2025, i386 Linux, GCC 12.2.0\n"
inline std::string ProgramVersion(const char* program) {
  std::string text = std::string(program) + " (Pellinor) " PELLINOR_VERSION "\n";
  text += "build: " __TIME__ " " __DATE__ ", ";
  text += BuildTarget();
#if defined(__clang__)
  text += ", clang " __clang_version__;
#elif defined(__GNUC__)
  text += ", GCC " __VERSION__;
#endif
  text += "\n";
  return text;
}

}  // namespace pellinortools
