// pellinor-log: reads Pellinor trace logs back (see LogCommand.h).
#include "tools/pellinor-log/LogCommand.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  pellinorlog::LogCommand command;
  int status = command.Run(args, std::cin, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
