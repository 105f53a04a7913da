#include "tools/tarn-sim/arguments.hpp"

#include <algorithm>

namespace tarn::tools {

namespace {

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string joined(const std::vector<std::string>& list) {
  std::string text;
  for (const std::string& item : list) text += (text.empty() ? "" : ", ") + item;
  return text;
}

}  // namespace

bool readArguments(int argc, char** argv, const ArgumentRules& rules, Arguments& arguments,
                   std::string& error) {
  arguments = Arguments{};
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      arguments.help = true;
      return true;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.size() > 1 && argument[0] == '-') {
      if (!contains(rules.options, argument)) {
        error = "unknown option '" + argument + "'; " +
                (rules.options.empty() ? "this subcommand takes none"
                                       : "known: " + joined(rules.options));
        return false;
      }
      if (i + 1 >= argc) {
        error = "missing value after '" + argument + "'";
        return false;
      }
      if (!contains(rules.repeatable, argument)) {
        for (const auto& given : arguments.options) {
          if (given.first == argument) {
            error = "'" + argument + "' given more than once; give it once";
            return false;
          }
        }
      }
      arguments.options.emplace_back(argument, argv[++i]);
    } else if (arguments.positionals.size() < rules.positionals) {
      arguments.positionals.push_back(argument);
    } else {
      error = "unexpected argument '" + argument + "'";
      return false;
    }
  }
  return true;
}

}  // namespace tarn::tools
