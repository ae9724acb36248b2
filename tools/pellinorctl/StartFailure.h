// A failed start in words. The driver answers a start with a status only;
// which step it failed at (opening the traced device, creating the log
// file) follows from the status and the settings it started with, which
// the tool reads back after the failure.
#pragma once

#include <cstdint>
#include <string>

namespace pellinorctl {

// What the driver started with, as far as the tool could read it back.
struct StartSettings {
  bool haveLog = false;
  std::string log;
  bool haveTarget = false;
  std::string target;
  bool haveState = false;
  uint32_t state = 0;
};

// What the driver could not do, with the value involved ("the traced device
// "CAPI202" (\Device\CAPI202) does not exist"); empty when the status tells
// no more than its name.
std::string ExplainStartFailure(uint32_t status, const StartSettings& settings);

// Why a log file path or a traced device's name is longer than the driver
// can open, with the limit; empty when it is not.
std::string LogPathTooLong(const std::string& path);
std::string TargetNameTooLong(const std::string& name);

}  // namespace pellinorctl
