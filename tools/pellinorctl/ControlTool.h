// The control tool's core: the command line, the control device's I/O
// controls with their buffers, the output and the exit status. It reaches the
// driver only through a ControlBackend.
#pragma once

#include <string>
#include <vector>

#include "tools/pellinorctl/ControlBackend.h"

namespace pellinorctl {

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the driver, the device or the system refused
constexpr int kExitUsage = 2;   // the command line is wrong

class ControlTool {
 public:
  explicit ControlTool(ControlBackend& backend) : backend(backend) {}
  ControlTool(const ControlTool&) = delete;
  ControlTool& operator=(const ControlTool&) = delete;

  // Runs one command line (without the program name). Normal output goes to
  // `out`, messages and usage to `err`; returns the exit status.
  int Run(const std::vector<std::string>& args, std::string& out, std::string& err);

  static const char* Usage();

 private:
  int Dispatch(const std::vector<std::string>& args, std::string& out, std::string& err);
  int State(std::string& out, std::string& err);
  int Start(std::string& err);
  int Stop(bool force, std::string& err);
  int Set(const std::string& what, const std::string& value, std::string& out, std::string& err);
  int Get(const std::string& what, std::string& out, std::string& err);
  int Show(std::string& out, std::string& err);
  // show without the driver: the settings stored for its next start.
  int ShowStored(std::string& out, std::string& err);
  static void ShowLine(std::string& text, const std::string& label, const std::string& value);
  int Install(uint32_t startType, std::string& err);
  int Uninstall(std::string& err);
  int Version(std::string& out);

  // Opens the device once per command; false (with the message) on failure.
  bool OpenDevice(std::string& err);
  // An open that failed because there is no control device: no driver.
  static bool IsNotLoaded(const ControlResult& openResult);
  // Whether the service key exists (true where that cannot be told).
  bool ServiceInstalled();
  // Reads a 4-byte number; false (with the message) on failure.
  // With `unknown`: a driver that does not know the request (older than
  // it) sets *unknown and is no failure to complain of.
  bool ReadNumber(const char* command, uint32_t code, uint32_t* value, std::string& err,
                  bool* unknown = nullptr);
  // Reads a zero-terminated 8-bit string; false (with the message) on failure.
  bool ReadString(const char* command, uint32_t code, std::string* value, std::string& err);

  ControlBackend& backend;
  bool open = false;
};

}  // namespace pellinorctl
