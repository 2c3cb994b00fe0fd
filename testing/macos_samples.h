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
  bool inside = false;
  while (std::getline(file, line)) {
    if (line.rfind("=== ", 0) == 0) {
      if (inside) return block;
      inside = line.substr(4) == name;
    } else if (inside) {
      block += line + "\n";
    }
  }
  if (inside) return block;
  ADD_FAILURE() << "no sample \"" << name << "\" in " << KIVO_MACOS_SAMPLES;
  return "";
}

}  // namespace kivo::testing
