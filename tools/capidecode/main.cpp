// capidecode [--b3bytes N] [--crlf] [FILE...]  (or --version)
#include <iostream>
#include <string>
#include <vector>

#include "tools/capidecode/CapiDecode.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  return capidecode::Run(args, std::cin, std::cout, std::cerr);
}
