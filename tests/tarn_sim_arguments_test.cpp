#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/tarn-sim/arguments.hpp"

namespace tarn::tools {
namespace {

// A subcommand shaped like tarn-sim's: a word from a set, a checked value, a
// repeatable option, a count and one positional.
struct Line {
  CLI::App app{"test", "tarn-sim"};
  std::string family, file;
  std::vector<std::string> faults;
  uint64_t jobs = 2;

  Line() {
    CLI::App* sub = app.add_subcommand("sub", "a subcommand");
    sub->allow_extras();
    sub->add_option("FILE", file, "a file");
    sub->add_option("--family", family, "a word")->check(CLI::IsMember({"nt", "older"}));
    addOption(*sub, "--fault", "FAULT", "repeatable", [this](const std::string& fault) {
      faults.push_back(fault);
      return fault == "bad" ? std::string("fault 'bad' is not known") : std::string();
    })->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    addCount(*sub, "--jobs", jobs, 1, 64, "a count");
    sub->add_option("--revision", "a revision")->check(revisionFrom(50));
  }
  LineRead read(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), {"tarn-sim", "sub"});
    return readLine(app, int(arguments.size()), arguments.data());
  }
};

TEST(TarnSimLine, ReadsTheLineAndNamesWhatIsWrongAndWhatIsAccepted) {
  using Outcome = LineRead::Outcome;
  const struct {
    std::vector<const char*> argv;
    Outcome outcome;
    std::string text;  // the error, for a refusal
  } cases[] = {
      {{}, Outcome::Run, ""},
      {{"--family=nt", "f.xsvf", "--jobs", "0x10"}, Outcome::Run, ""},
      {{"--bogus"},
       Outcome::Refused,
       "unknown option '--bogus'; known: --family, --fault, --jobs, --revision"},
      {{"one", "two"}, Outcome::Refused, "unexpected argument 'two'"},
      {{"--family", "newer"}, Outcome::Refused, "--family: newer not in {nt,older}"},
      {{"--family", "nt", "--family", "nt"},
       Outcome::Refused,
       "--family: At Most 1 required but received 2"},
      {{"--fault", "bad"}, Outcome::Refused, "--fault: fault 'bad' is not known"},
      {{"--jobs", "0"}, Outcome::Refused, "--jobs: '0' is not a count from 1 to 64"},
      {{"--jobs", "1x"}, Outcome::Refused, "--jobs: '1x' is not a count from 1 to 64"},
      {{"--revision", "49"}, Outcome::Refused, "--revision: '49' is not a revision from 50 to 255"},
      // 0377 would be 255 in octal.
      {{"--revision", "0377"},
       Outcome::Refused,
       "--revision: '0377' is not a revision from 50 to 255"},
      {{"--revision", "0x50"}, Outcome::Run, ""},
      {{"--help"}, Outcome::Help, ""},
  };
  for (const auto& row : cases) {
    Line line;
    const LineRead read = line.read(row.argv);
    const std::string what = row.argv.empty() ? "(nothing)" : row.argv.front();
    EXPECT_EQ(read.outcome, row.outcome) << what << ": " << read.text;
    if (row.outcome == Outcome::Refused) {
      EXPECT_EQ(read.text, row.text) << what;
    }
    if (row.outcome == Outcome::Help) {
      EXPECT_NE(read.text.find("--fault FAULT"), std::string::npos);
    }
  }
}

TEST(TarnSimLine, TakesValuesInOrderAndRepeatsWhereAllowed) {
  Line line;
  ASSERT_EQ(line.read({"--fault", "a", "f.xsvf", "--fault", "b", "--jobs", "010"}).outcome,
            LineRead::Outcome::Run);
  EXPECT_EQ(line.faults, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(line.file, "f.xsvf");
  EXPECT_EQ(line.jobs, 10u);  // a leading zero is never octal
}

}  // namespace
}  // namespace tarn::tools
