// tarn-sim: the developer's tool over the same code as the updater, on
// simulated cards. Each subcommand lives in its own file.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

struct Subcommand {
  const char* name;
  const char* usage;
  std::string help;
  SubcommandMain run;
};

Subcommand* registry(int** count) {
  static Subcommand entries[16];
  static int used = 0;
  *count = &used;
  return entries;
}

void printUsage(std::FILE* out) {
  int* count = nullptr;
  Subcommand* entries = registry(&count);
  std::fprintf(out, "usage: tarn-sim SUBCOMMAND [ARGS]\n");
  for (int i = 0; i < *count; ++i) std::fprintf(out, "  tarn-sim %s\n", entries[i].usage);
}

void printHelp() {
  int* count = nullptr;
  Subcommand* entries = registry(&count);
  printUsage(stdout);
  for (int i = 0; i < *count; ++i) std::printf("\n%s\n", entries[i].help.c_str());
}

}  // namespace

int usageError(const char* usage, const char* what, const char* value) {
  if (what != nullptr) {
    std::fprintf(stderr, "tarn-sim: %s%s%s%s\n", what, value ? " '" : "", value ? value : "",
                 value ? "'" : "");
  }
  std::fprintf(stderr, "usage: tarn-sim %s\n", usage);
  return kExitUsage;
}

int usageError(const char* usage, const std::string& message) {
  return usageError(usage, message.c_str(), nullptr);
}

std::optional<int> readCommandLine(int argc, char** argv, const ArgumentRules& rules,
                                   const char* usage, const std::string& help,
                                   Arguments& arguments) {
  std::string error;
  if (!readArguments(argc, argv, rules, arguments, error)) return usageError(usage, error);
  if (!arguments.help) return std::nullopt;
  std::printf("usage: tarn-sim %s\n", usage);
  if (!help.empty()) std::printf("\n%s\n", help.c_str());
  return kExitOk;
}

SubcommandRegistration::SubcommandRegistration(const char* name, const char* usage,
                                               const std::string& help, SubcommandMain run) {
  int* count = nullptr;
  Subcommand* entries = registry(&count);
  if (*count < 16) entries[(*count)++] = Subcommand{name, usage, help, run};
}

}  // namespace tarn::tools

int main(int argc, char** argv) {
  using namespace tarn::tools;
  if (argc < 2) {
    printUsage(stderr);
    return kExitUsage;
  }
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    printHelp();
    return kExitOk;
  }
  int* count = nullptr;
  Subcommand* entries = registry(&count);
  for (int i = 0; i < *count; ++i) {
    if (std::strcmp(argv[1], entries[i].name) == 0) return entries[i].run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "tarn-sim: unknown subcommand '%s'\n", argv[1]);
  printUsage(stderr);
  return kExitUsage;
}
