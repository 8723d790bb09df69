// orvalis-cli: the headless phone, driven from standard input.

#include <unistd.h>

#include <iostream>
#include <string>
#include <string_view>

#include "cli/cli_help.h"
#include "cli/cli_phone.h"
#include "store/config.h"

namespace {

constexpr std::string_view usage =
    "usage: orvalis-cli [--dir DIR]\n"
    "Runs a phone without a window in DIR (default: the working directory),\n"
    "where its settings file phone201.cnf lives.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string dir = orvalis::store::currentDirectory();
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << usage << orvalis::cli::commandHelp;
      return 0;
    }
    if (arg == "--dir" && i + 1 < argc) {
      dir = argv[++i];
      continue;
    }
    std::cerr << "orvalis-cli: unknown argument: " << arg << '\n' << usage;
    return 2;
  }
  orvalis::cli::CliPhone phone(std::cout, STDIN_FILENO, dir);
  return phone.run();
}
