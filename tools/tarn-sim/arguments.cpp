#include "tools/tarn-sim/arguments.hpp"

#include "sim/sim_faults.hpp"

namespace tarn::tools {

namespace {

// The subcommand's options, its option groups' included, without --help.
void listOptions(const CLI::App& app, std::string& known) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_lnames().empty() || option->get_name() == "--help") continue;
    known += (known.empty() ? "" : ", ") + option->get_name();
  }
  for (const CLI::App* group :
       app.get_subcommands([](const CLI::App* sub) { return sub->get_name().empty(); })) {
    listOptions(*group, known);
  }
}

std::string unknownOption(const CLI::App& subcommand, const std::string& argument) {
  std::string known;
  listOptions(subcommand, known);
  return "unknown option '" + argument + "'; " +
         (known.empty() ? "this subcommand takes none" : "known: " + known);
}

// The first argument CLI11 left over, named: an option the subcommand does
// not know, or one argument more than it takes.
std::string leftOver(const CLI::App& subcommand) {
  const std::string argument = subcommand.remaining().front();
  return argument.size() > 1 && argument[0] == '-' ? unknownOption(subcommand, argument)
                                                   : "unexpected argument '" + argument + "'";
}

// The first argument that no subcommand could place, named; empty when none.
std::string firstLeftOver(const CLI::App& app) {
  for (const CLI::App* subcommand : app.get_subcommands()) {
    if (!subcommand->remaining().empty()) return leftOver(*subcommand);
  }
  return {};
}

}  // namespace

LineRead readLine(CLI::App& app, int argc, const char* const* argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return {LineRead::Outcome::Help, app.help()};
  } catch (const CLI::RequiredError& error) {
    // What CLI11 finds missing may be what a misspelt option was meant to be:
    // the misspelling is the mistake to name.
    const std::string leftOver = firstLeftOver(app);
    return {LineRead::Outcome::Refused, leftOver.empty() ? error.what() : leftOver};
  } catch (const CLI::Error& error) {
    return {LineRead::Outcome::Refused, error.what()};
  }
  const std::string leftOver = firstLeftOver(app);
  if (!leftOver.empty()) return {LineRead::Outcome::Refused, leftOver};
  return {};
}

CLI::Option* addOption(CLI::App& app, const std::string& name, const std::string& valueName,
                       const std::string& description, TakeValue take) {
  return app.add_option(name, description)
      ->type_name(valueName)
      ->check(CLI::Validator([take](std::string& value) { return take(value); }, ""));
}

CLI::Option* addCount(CLI::App& app, const std::string& name, uint64_t& count, uint64_t min,
                      uint64_t max, const std::string& description) {
  return app.add_option(name, description)
      ->check(countFrom(min, max))
      ->each([&count, max](const std::string& text) { sim::parseNumber(text, max, count); });
}

CLI::Option* addInterfaceWord(CLI::App& app, const std::string& name, std::string& word,
                              const std::string& description) {
  return app.add_option(name, word, description)
      ->check(CLI::IsMember({"pci", "cardbus"}))
      ->type_name("WORD");
}

std::string notARevision(const std::string& text, int32_t min) {
  return "'" + text + "' is not a revision from " + std::to_string(min) + " to " +
         std::to_string(sim::kMaxRevision);
}

CLI::Validator revisionFrom(int32_t min) {
  return CLI::Validator(
      [min](std::string& text) -> std::string {
        int32_t revision = 0;
        if (sim::parseRevision(text, revision) && revision >= min) return {};
        return notARevision(text, min);
      },
      "R");
}

CLI::Validator countFrom(uint64_t min, uint64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        uint64_t count = 0;
        if (sim::parseNumber(text, max, count) && count >= min) return {};
        return "'" + text + "' is not a count from " + std::to_string(min) + " to " +
               std::to_string(max);
      },
      "N");
}

}  // namespace tarn::tools
