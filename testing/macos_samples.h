// What real Macs print, by block name, from testing/macos_samples/tool_outputs.txt: the parsers'
// tests read the same verbatim samples as the stand-ins' tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace kivo::testing {

inline std::string macos_sample(std::string_view name) {
  std::ifstream file(KIVO_MACOS_SAMPLES);
  std::string block, line;
  while (std::getline(file, line) && line != "=== " + std::string(name)) continue;
  if (!file) ADD_FAILURE() << "no sample \"" << name << "\" in " << KIVO_MACOS_SAMPLES;
  while (std::getline(file, line) && !line.starts_with("=== ")) block += line + "\n";
  return block;
}

}  // namespace kivo::testing
