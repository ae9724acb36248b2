// capidecode [--b3bytes N] [--crlf] [FILE...]  (or --version)
#include <iostream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

#include "tools/capidecode/CapiDecode.h"

int main(int argc, char** argv) {
#if defined(_WIN32)
  // Line ends as the options say (LF, or CR LF with --crlf), not as the C
  // run-time would turn them; input read as it is.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
#endif
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  return capidecode::Run(args, std::cin, std::cout, std::cerr);
}
