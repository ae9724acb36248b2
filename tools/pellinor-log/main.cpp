// pellinor-log: reads Pellinor trace logs back (see LogCommand.h).
#include "tools/pellinor-log/LogCommand.h"

#include <iostream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
  // The log's bytes as they are: no CR added before LF on the way out (grep
  // and follow --blocks print CR LF as the log has it), and none taken
  // away, nor a Ctrl-Z taken for the end, on the way in.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  pellinorlog::LogCommand command;
  int status = command.Run(args, std::cin, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
