#pragma once
#include <CLI/CLI.hpp>
#include <string>

#include "tools/tarn-sim/arguments.hpp"

namespace tarn::tools {

// One tarn-sim subcommand: `define` adds it, with its options and their
// checks, to tarn-sim's command line; `run` does its work once the line has
// been read. Each subcommand registers itself from its own file, so adding
// one touches nothing else.
struct Subcommand {
  CLI::App* (*define)(CLI::App& tarnSim);
  int (*run)();
};

struct SubcommandRegistration {
  explicit SubcommandRegistration(Subcommand subcommand);
};

}  // namespace tarn::tools
