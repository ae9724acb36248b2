// pellinorctl.exe: the control tool over the Win32 back end.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/pellinorctl/ControlTool.h"
#include "tools/pellinorctl/WindowsBackend.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  pellinorctl::WindowsBackend backend;
  pellinorctl::ControlTool tool(backend);
  std::string out, err;
  const int status = tool.Run(args, out, err);
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  std::fputs(err.c_str(), stderr);
  return status;
}
