#pragma once
// tarn-sim's command line, read by CLI11: one subcommand per file, each with
// its options and their checks. CLI11's own errors are used where they name
// the argument and what it accepts; the two it has no clear text for, an
// unknown option and an argument too many, are said here.
#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>

namespace tarn::tools {

// Exit statuses of every tarn-sim subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// What reading a command line came to.
struct LineRead {
  enum class Outcome { Run, Help, Refused } outcome = Outcome::Run;
  std::string text;  // Help: the help text; Refused: the one-line error
};

// Parses argv (argv[0] the program) into `app`, whose subcommands allow
// extras so that an unknown option or a stray argument can be named here.
LineRead readLine(CLI::App& app, int argc, const char* const* argv);

// Adds an option (or a positional, for a name without dashes) of one value
// per use whose `take` both checks and takes the value: it returns an empty
// string once it has taken it, else what is wrong with it, which CLI11 puts
// after the option's name.
using TakeValue = std::function<std::string(const std::string& value)>;
CLI::Option* addOption(CLI::App& app, const std::string& name, const std::string& valueName,
                       const std::string& description, TakeValue take);

// Adds an option taking a count from `min` to `max` into `count`.
CLI::Option* addCount(CLI::App& app, const std::string& name, uint64_t& count, uint64_t min,
                      uint64_t max, const std::string& description);

// Adds an option taking the interface word, pci or cardbus, into `word`.
CLI::Option* addInterfaceWord(CLI::App& app, const std::string& name, std::string& word,
                              const std::string& description);

// Checks of option values, with messages that say what is accepted, for
// example "'300' is not a revision from 0 to 255". Numbers are decimal, or
// hexadecimal after 0x; a leading zero is never octal.
CLI::Validator revisionFrom(int32_t min);
std::string notARevision(const std::string& text, int32_t min = 0);
CLI::Validator countFrom(uint64_t min, uint64_t max);

}  // namespace tarn::tools
