#pragma once
#include <optional>
#include <string>

#include "tools/tarn-sim/arguments.hpp"

namespace tarn::tools {

// Exit statuses of every tarn-sim subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Says what is wrong (when `what` is given, with the offending `value` quoted
// when that is given too), prints the subcommand's usage line to standard
// error, and returns kExitUsage.
int usageError(const char* usage, const char* what = nullptr, const char* value = nullptr);
// The same with the whole one-line message given.
int usageError(const char* usage, const std::string& message);

// Reads a subcommand's command line by `rules`. Empty when the subcommand goes
// on with `arguments`; otherwise the status it ends with: kExitUsage after a
// usage error (said), kExitOk after --help (usage, then `help` when given).
std::optional<int> readCommandLine(int argc, char** argv, const ArgumentRules& rules,
                                   const char* usage, const std::string& help,
                                   Arguments& arguments);

using SubcommandMain = int (*)(int argc, char** argv);  // argv[0] is the subcommand name

// Each subcommand registers itself from its own file, so adding one touches
// nothing else.
struct SubcommandRegistration {
  SubcommandRegistration(const char* name, const char* usage, const std::string& help,
                         SubcommandMain run);
};

}  // namespace tarn::tools
