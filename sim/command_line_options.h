#pragma once
// The options of tavra-sim, one table: what each is called, what argument it takes, its line in
// the usage text, its error text and what it sets. ParseCommandLine and UsageText both read it.
//
// Constant data; no threads, no locks.

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sim/command_line.h"

namespace tavra::sim {

enum class Argument {
  None,      // a flag; a value after '=' is ignored
  Required,  // after '=' or the next argument
  Inline,    // optional, after '=' only
};

struct Option {
  // A line the usage text shows before this option's, after an empty line (empty: none).
  std::string_view heading;
  // As the usage text shows them, separated by ", ".
  std::string_view names;
  Argument argument;
  // As the usage text shows it after the names ("N"; "[=FILE]" for Argument::Inline).
  std::string_view placeholder;
  std::string_view help;
  // The error for a missing value, and for a bad one unless `bad` is given.
  std::string_view needs;
  std::string_view bad;
  // False for a bad value. `value` is nullopt for a flag and an absent inline value.
  bool (*set)(CommandLine& cl, const std::optional<std::string>& value);
};

std::span<const Option> CommandLineOptions();

}  // namespace tavra::sim
