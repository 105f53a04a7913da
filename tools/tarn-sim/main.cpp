// tarn-sim: the developer's tool over the same code as the updater, on
// simulated cards. Each subcommand lives in its own file.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/tarn-sim/subcommand.hpp"

namespace tarn::tools {
namespace {

std::vector<Subcommand>& registry() {
  static std::vector<Subcommand> subcommands;
  return subcommands;
}

void printRefusal(const std::string& message, const std::string& helpCommand) {
  std::fprintf(stderr, "tarn-sim: %s\nRun '%s --help' for more information.\n", message.c_str(),
               helpCommand.c_str());
}

}  // namespace

SubcommandRegistration::SubcommandRegistration(Subcommand subcommand) {
  registry().push_back(subcommand);
}

}  // namespace tarn::tools

int main(int argc, char** argv) {
  using namespace tarn::tools;
  CLI::App app(
      "tarn-sim: the developer's tool over the same code as the updater, on simulated\n"
      "cards. 'tarn-sim --help' shows every subcommand's help; numbers are decimal, or\n"
      "hexadecimal after 0x (a leading zero is never octal).",
      "tarn-sim");
  app.require_subcommand(1);
  std::vector<CLI::App*> subcommands;
  for (const Subcommand& subcommand : registry()) subcommands.push_back(subcommand.define(app));
  std::string known;
  for (const CLI::App* subcommand : subcommands) {
    known += (known.empty() ? "" : ", ") + subcommand->get_name();
  }
  // CLI11 would only say that a subcommand is required.
  if (argc >= 2 && argv[1][0] != '-' &&
      std::none_of(subcommands.begin(), subcommands.end(),
                   [&](const CLI::App* subcommand) { return subcommand->get_name() == argv[1]; })) {
    printRefusal(std::string("unknown subcommand '") + argv[1] + "'; known: " + known, "tarn-sim");
    return kExitUsage;
  }

  const LineRead line = readLine(app, argc, argv);
  if (line.outcome == LineRead::Outcome::Help) {
    if (!app.get_subcommands().empty()) {
      std::fputs(line.text.c_str(), stdout);
      return kExitOk;
    }
    // tarn-sim --help: every subcommand's own help, its options and lists included.
    std::printf("%s\nUsage: tarn-sim SUBCOMMAND [OPTIONS], SUBCOMMAND one of %s\n",
                app.get_description().c_str(), known.c_str());
    for (const CLI::App* subcommand : subcommands) {
      std::printf("\n%s", subcommand->help("tarn-sim").c_str());
    }
    return kExitOk;
  }
  if (line.outcome == LineRead::Outcome::Refused) {
    const std::vector<CLI::App*> chosen = app.get_subcommands();
    printRefusal(line.text, chosen.empty() ? "tarn-sim" : "tarn-sim " + chosen[0]->get_name());
    return kExitUsage;
  }
  for (size_t i = 0; i < subcommands.size(); ++i) {
    if (subcommands[i]->parsed()) return registry()[i].run();
  }
  return kExitUsage;
}
