// What the command-line tests share: the command line run as main runs it
// up to the library, and documents read from literal text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json.h"
#include "options.h"

namespace cli_test {

// Runs the command line as main does up to the library: parse, settings,
// checks. Returns the usage error, or "" with the configuration in cfg.
inline std::string configure(std::vector<std::string> args, cli::JsonValue& cfg) {
  args.insert(args.begin(), "vaultrun");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  cli::Options opt;
  cli::Settings s;
  s.password = "pw";
  std::string e = cli::parse_args(int(argv.size()), argv.data(), opt);
  if (e.empty()) e = cli::resolve_settings(opt, s);
  if (e.empty()) e = cli::check_settings(opt.command, s);
  if (!e.empty()) return e;
  std::string text = cli::config_json(s);
  e = cli::parse_json(text, cfg);
  EXPECT_EQ(e, "") << text;
  return "";
}

// A member's JSON as written, or "(absent)".
inline std::string raw(const cli::JsonValue& cfg, const char* key) {
  const cli::JsonValue* v = cfg.find(key);
  return v ? v->raw : "(absent)";
}

inline cli::JsonValue doc(const char* text) {
  cli::JsonValue v;
  EXPECT_EQ(cli::parse_json(text, v), "") << text;
  return v;
}

}  // namespace cli_test
