#pragma once
// The command line of a tarn-sim subcommand, read by one set of rules so that
// every subcommand says the same things about the same mistakes.
#include <string>
#include <utility>
#include <vector>

namespace tarn::tools {

struct ArgumentRules {
  std::vector<std::string> options;     // each takes one value: "--name VALUE"
  std::vector<std::string> repeatable;  // options that may be given more than once
  size_t positionals = 0;               // arguments that are not options, at most
};

struct Arguments {
  std::vector<std::pair<std::string, std::string>> options;  // in the order given
  std::vector<std::string> positionals;
  bool help = false;  // --help or -h anywhere
};

// Splits argv (argv[0] is the subcommand's name) by the rules. An option given
// twice that is not repeatable is refused rather than one of the two quietly
// winning. False with a one-line `error` that names the argument at fault.
bool readArguments(int argc, char** argv, const ArgumentRules& rules, Arguments& arguments,
                   std::string& error);

}  // namespace tarn::tools
