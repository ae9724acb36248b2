// Logs the tests read: the pipeline's golden logs, the filter's whole-session
// logs and sessions written by the generator through the driver's decoder.
#pragma once

#include "tools/pellinor-log/LogGenerator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace pellinorlog {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

inline std::string SourcePath(const std::string& relative) {
  return std::string(PELLINOR_SOURCE_DIR) + "/" + relative;
}

// Compared whole with tests/pellinorlog/data/NAME; PELLINOR_UPDATE_GOLDEN=1
// rewrites the file.
inline void ExpectGolden(const std::string& name, const std::string& text) {
  std::string path = SourcePath("tests/pellinorlog/data/" + name);
  const char* update = std::getenv("PELLINOR_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream(path, std::ios::binary) << text;
    return;
  }
  EXPECT_EQ(text, ReadFile(path)) << "differs from " << path;
}

// One trace device's life: a registration that fails, one that works, an
// outgoing call with DATA_B3 both ways that the application ends, an
// incoming call the network ends, an outgoing call the network refuses.
inline std::string OneSession(bool crlf = true) {
  std::string text;
  LogGenerator g(text, crlf);
  g.Banner("CAPI201");
  g.Query("Pellinor Test CAPI", 1, 2);
  g.Start();
  g.Register(1);
  g.RegisterFails(2, 0xC0000023, "STATUS_BUFFER_TOO_SMALL", 0x1004);
  g.OutgoingCall(1, 1, "5551234", "4711", 2, 100);
  g.Advance(500);
  g.IncomingCall(1, 2, "4711", "5559876", 1, 50);
  g.OutgoingCall(1, 1, "5550000", "4711", 0, 0, 0x34A2);
  g.Release(1);
  g.Stop();
  return text;
}

}  // namespace pellinorlog
