#include "tools/tarn-sim/arguments.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>

namespace tarn::tools {

namespace {

std::string joined(const std::vector<std::string>& list) {
  std::string text;
  for (const std::string& item : list) text += (text.empty() ? "" : ", ") + item;
  return text;
}

bool looksLikeOption(const std::string& argument) {
  return argument.size() > 1 && argument[0] == '-';
}

std::string unknownOption(const ArgumentRules& rules, const std::string& argument) {
  return "unknown option '" + argument + "'; " +
         (rules.options.empty() ? "this subcommand takes none" : "known: " + joined(rules.options));
}

// An argument CLI11 left over is either an option it does not know or one
// positional too many.
std::string leftOver(const ArgumentRules& rules, const std::string& argument) {
  return looksLikeOption(argument) ? unknownOption(rules, argument)
                                   : "unexpected argument '" + argument + "'";
}

// Thrown from an option's callback once the argument just read is at fault;
// the callback has already written the one-line error.
struct Refused : CLI::ParseError {
  Refused() : CLI::ParseError("Refused", "refused", CLI::ExitCodes::ValidationError) {}
};

}  // namespace

bool readArguments(int argc, char** argv, const ArgumentRules& rules, Arguments& arguments,
                   std::string& error) {
  arguments = Arguments{};
  const std::vector<std::string> given(argv + std::min(argc, 1), argv + argc);
  // Help wins over every mistake, even where it stands as an option's value.
  if (std::find_if(given.begin(), given.end(), [](const std::string& argument) {
        return argument == "--help" || argument == "-h";
      }) != given.end()) {
    arguments.help = true;
    return true;
  }

  CLI::App app;
  app.set_help_flag();
  // Left-over arguments are collected rather than thrown at once, so that
  // whichever mistake stands first on the line is the one named.
  app.allow_extras();
  app.validate_positionals();
  std::string fault;

  for (const std::string& name : rules.options) {
    const bool repeatable =
        std::find(rules.repeatable.begin(), rules.repeatable.end(), name) != rules.repeatable.end();
    const CLI::callback_t callback = [&, name, repeatable](const CLI::results_t& values) {
      if (!repeatable && std::any_of(arguments.options.begin(), arguments.options.end(),
                                     [&](const auto& option) { return option.first == name; })) {
        fault = "'" + name + "' given more than once; give it once";
        throw Refused();
      }
      arguments.options.emplace_back(name, values.front());
      return true;
    };
    // Run at once rather than after the whole line, so options keep their
    // order and a repeat is refused where it stands.
    app.add_option(name, callback)->expected(1)->trigger_on_parse();
  }

  // One single-valued positional per place, so CLI11 leaves any surplus over.
  // Something that looks like an option is never a positional: it is left
  // over and named as an unknown option.
  const CLI::Validator notAnOption(
      [](std::string& argument) { return looksLikeOption(argument) ? "an option" : std::string(); },
      "");
  std::vector<CLI::Option*> places;
  for (size_t place = 0; place < rules.positionals; ++place) {
    places.push_back(
        app.add_option("argument" + std::to_string(place + 1))->expected(1)->check(notAnOption));
  }

  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(given.rbegin(), given.rend()));
  } catch (const Refused&) {
    const std::vector<std::string> left = app.remaining();
    error = left.empty() ? fault : leftOver(rules, left.front());
    return false;
  } catch (const CLI::ArgumentMismatch&) {
    // Only the last argument can lack its value; it may also be the
    // "--name=" form of a known option.
    const std::vector<std::string> left = app.remaining();
    if (!left.empty()) {
      error = leftOver(rules, left.front());
    } else if (std::find(rules.options.begin(), rules.options.end(), given.back()) !=
               rules.options.end()) {
      error = "missing value after '" + given.back() + "'";
    } else {
      error = unknownOption(rules, given.back());
    }
    return false;
  } catch (const CLI::Error& failure) {
    error = failure.what();
    return false;
  }
  const std::vector<std::string> left = app.remaining();
  if (!left.empty()) {
    error = leftOver(rules, left.front());
    return false;
  }
  for (const CLI::Option* place : places) {
    if (place->count() > 0) arguments.positionals.push_back(place->results().front());
  }
  return true;
}

}  // namespace tarn::tools
