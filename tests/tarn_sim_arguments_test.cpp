#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/tarn-sim/arguments.hpp"

namespace tarn::tools {
namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

struct ArgumentCase {
  std::string line;  // what is being tried, for the failure message
  ArgumentRules rules;
  std::vector<std::string> argv;  // after the subcommand's name
  std::string error;              // empty: read without a mistake
  Options options = {};
  std::vector<std::string> positionals = {};
  bool help = false;
};

const ArgumentRules kCards{{"--family", "--revisions", "--fault"}, {"--fault"}, 0};
const ArgumentRules kXsvf{{"--payload", "--chain", "--trace"}, {}, 1};
const ArgumentRules kPayload{{}, {}, 1};
const std::string kCardsKnown = "; known: --family, --revisions, --fault";

TEST(ReadArguments, ReadsTheLineAndNamesTheFirstMistakeOnIt) {
  const std::vector<ArgumentCase> cases = {
      {"nothing given", kCards, {}, ""},
      {"order kept, repeatable taken each time",
       kCards,
       {"--fault", "a", "--family", "nt", "--fault", "b", "--revisions", "1"},
       "",
       {{"--fault", "a"}, {"--family", "nt"}, {"--fault", "b"}, {"--revisions", "1"}}},
      {"a value that looks like an option is still the value",
       kCards,
       {"--family", "--fault", "--revisions", "--"},
       "",
       {{"--family", "--fault"}, {"--revisions", "--"}}},
      {"positional between options",
       kXsvf,
       {"--chain", "tdo:0", "stream.xsvf", "--payload", "pci"},
       "",
       {{"--chain", "tdo:0"}, {"--payload", "pci"}},
       {"stream.xsvf"}},
      {"a lone dash is a positional", kPayload, {"-"}, "", {}, {"-"}},
      {"--help after mistakes", kCards, {"--bogus", "x", "--family", "--help"}, "", {}, {}, true},
      {"-h as an option's value", kCards, {"--family", "-h"}, "", {}, {}, true},
      {"help after a repeat", kCards, {"--family", "a", "--family", "b", "-h"}, "", {}, {}, true},
      {"unknown option", kCards, {"--bogus"}, "unknown option '--bogus'" + kCardsKnown},
      {"unknown option, none taken",
       kPayload,
       {"--x"},
       "unknown option '--x'; this subcommand takes none"},
      {"missing value",
       kCards,
       {"--family", "nt", "--revisions"},
       "missing value after '--revisions'"},
      {"repeat",
       kCards,
       {"--family", "nt", "--family", "older"},
       "'--family' given more than once; give it once"},
      {"repeat before a stray",
       kCards,
       {"--family", "a", "--family", "b", "extra"},
       "'--family' given more than once; give it once"},
      {"stray", kCards, {"--revisions", "45", "extra-arg"}, "unexpected argument 'extra-arg'"},
      {"second positional", kXsvf, {"one", "two", "--chain", "x"}, "unexpected argument 'two'"},
      {"stray before a repeat",
       kCards,
       {"extra", "--family", "a", "--family", "b"},
       "unexpected argument 'extra'"},
      {"unknown option before a missing value",
       kCards,
       {"--bogus", "--family"},
       "unknown option '--bogus'" + kCardsKnown},
      {"unknown option between repeats",
       kCards,
       {"--family", "a", "--bogus", "--family", "b"},
       "unknown option '--bogus'" + kCardsKnown},
      {"name=value is the option and its value",
       kCards,
       {"--family=nt", "--fault=a"},
       "",
       {{"--family", "nt"}, {"--fault", "a"}}},
      {"name= takes the value after it", kCards, {"--family=", "nt"}, "", {{"--family", "nt"}}},
      {"name= at the end",
       kCards,
       {"--revisions", "1", "--family="},
       "unknown option '--family='" + kCardsKnown},
      {"name=value repeating the same option",
       kCards,
       {"--family", "a", "--family=b"},
       "'--family' given more than once; give it once"},
      {"double dash",
       kXsvf,
       {"--", "stream.xsvf"},
       "unknown option '--'; known: --payload, --chain, --trace"},
      {"dash and digit in a free place",
       kXsvf,
       {"-5"},
       "unknown option '-5'; known: --payload, --chain, --trace"},
      {"short cluster", kCards, {"-abc"}, "unknown option '-abc'" + kCardsKnown},
  };
  for (const ArgumentCase& row : cases) {
    SCOPED_TRACE(row.line);
    std::vector<std::string> storage = {"subcommand"};
    storage.insert(storage.end(), row.argv.begin(), row.argv.end());
    std::vector<char*> argv;
    for (std::string& argument : storage) argv.push_back(argument.data());
    Arguments arguments;
    std::string error;
    const bool read =
        readArguments(static_cast<int>(argv.size()), argv.data(), row.rules, arguments, error);
    EXPECT_EQ(read, row.error.empty());
    EXPECT_EQ(error, row.error);
    if (!read) continue;
    EXPECT_EQ(arguments.options, row.options);
    EXPECT_EQ(arguments.positionals, row.positionals);
    EXPECT_EQ(arguments.help, row.help);
  }
}

}  // namespace
}  // namespace tarn::tools
