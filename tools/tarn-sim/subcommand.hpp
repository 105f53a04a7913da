#pragma once

namespace tarn::tools {

// Exit statuses of every tarn-sim subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

using SubcommandMain = int (*)(int argc, char** argv);  // argv[0] is the subcommand name

// Each subcommand registers itself from its own file, so adding one touches
// nothing else.
struct SubcommandRegistration {
  SubcommandRegistration(const char* name, const char* usage, const char* help, SubcommandMain run);
};

}  // namespace tarn::tools
