#include "kivo_ne_manager/app_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_network_extension.h"
#include "testing/macos_samples.h"

namespace kivo::nem {
namespace {

using ::testing::ElementsAre;

TEST(CodesignOutput, TakesTheLastIdentifierAndRequirementLines) {
  const std::tuple<std::string, std::optional<std::string>, std::optional<std::string>> cases[] = {
      {"Executable=/A\nIdentifier=com.a\n\ndesignated => identifier \"com.a\" and anchor apple\n", "com.a",
       "identifier \"com.a\" and anchor apple"},
      {"Identifier=  com.first \nIdentifier=com.second\n# designated => x\ndesignated => y => z", "com.second", "y => z"},
      {"TeamIdentifier=ABC\nidentifier=lower\n", std::nullopt, std::nullopt},
      {"Identifier=\ndesignated =>   ", "", ""},
      // What real Macs print; an ad-hoc signature comments its requirement out.
      {kivo::testing::macos_sample("codesign platform application"), "com.apple.siri.launcher",
       "identifier \"com.apple.siri.launcher\" and anchor apple"},
      {kivo::testing::macos_sample("codesign ad-hoc"), "de.jonasgehring.notable",
       "cdhash H\"1a6a7c9df7a530a93331303973d00279c69a98b6\" or cdhash H\"2585d9aa\""},
  };
  for (const auto& [output, identifier, requirement] : cases) {
    auto r = read_codesign_output(output);
    EXPECT_EQ(r.signing_identifier, identifier) << output;
    EXPECT_EQ(r.designated_requirement, requirement) << output;
  }
}

struct Rules : ::testing::Test {
  testing::FakePlatform os;
  AppRuleBuilder builder{os};
};

// Bundles (of any case) are found three levels down and named by their executable, whether listed
// or excluded.
TEST_F(Rules, ApplicationsAreFoundByTheExecutableInTheirBundle) {
  std::string x = os.add_app("/Applications/X.app", "com.x");
  std::string y = os.add_app("/Applications/Utilities/Y.APP", "com.y");
  std::string z = os.add_app("/Applications/A/B/Z.app", "com.z");
  os.add_app("/Applications/A/B/C/W.app", "com.w");                    // level 4
  os.add_app("/Applications/.app", "com.dot");                         // no name before the dot: a folder
  os.add_directory("/Applications/Empty.app/Contents/MacOS");          // no executable
  os.add_file("/Applications/Broken.app/Contents/MacOS/Main", false);  // not a regular file
  std::string calc = os.add_app("/System/Applications/Calculator.app", "com.apple.calculator");
  std::string mine = os.add_app("/Users/kim/Applications/Mine.app", "com.kim.mine");
  // One application reached through two roots is listed once, under its resolved path.
  os.add_app("/Users/kim/Applications/Alias.app", "com.x");
  os.links["/Users/kim/Applications/Alias.app/Contents/MacOS/Main"] = x;
  EXPECT_THAT(builder.discover_installed_applications(), ElementsAre(z, y, x, calc, mine));

  EXPECT_EQ(builder.canonical_executable_path(" \n\t").error(), "Application path cannot be empty.");
  EXPECT_EQ(builder.canonical_executable_path(" /Applications/Empty.app \n").error(),
            "No executable found in /Applications/Empty.app.");
  EXPECT_EQ(*builder.canonical_executable_path("/Applications/Utilities/Y.APP/"), y);
  EXPECT_EQ(*builder.canonical_executable_path("/usr/local/bin/tool"), "/usr/local/bin/tool");
}

TEST_F(Rules, IncludedRulesAreTheSignedApplicationsThatAreNotExcluded) {
  std::string a = os.add_app("/Applications/A.app", "com.a");
  std::string b = os.add_app("/Applications/B.app", "com.b");
  std::string c = os.add_app("/Applications/C.app", "");  // unsigned: dropped
  std::string d = os.add_app("/Applications/D.app", "com.d");
  os.codesign_outputs[d].standard_output.clear();  // no requirement: dropped

  // A bundle excludes the executable inside it; every other installed application is read.
  EXPECT_THAT(testing::value_of(builder.build_included_app_rules({"/Applications/A.app"})),
              ElementsAre(AppRule{"com.b", "identifier \"com.b\"", b}));
  auto codesign = [](const std::string& executable) { return "/usr/bin/codesign -d --verbose=4 -r- " + executable; };
  EXPECT_THAT(os.processes_run, ElementsAre(codesign(b), codesign(c), codesign(d)));
  EXPECT_EQ(builder.build_included_app_rules({a, b, c, d}).error(),
            "App-based split tunneling could not derive any included macOS apps from the current installation set.");
  EXPECT_EQ(builder.build_included_app_rules({a, b}).error(),
            "App-based split tunneling could not build any usable macOS app rules from the installed application set.");
}

TEST_F(Rules, CodeSignatureFailuresSayWhatWasMissing) {
  const std::string exe = "/Applications/A.app/Contents/MacOS/A";
  const std::pair<ProcessOutput, std::string> cases[] = {
      {{1, "out\n", "A: code object is not signed at all\n"},
       "Failed to inspect code signature for " + exe + ": A: code object is not signed at all\n\nout\n"},
      {{3, "", ""}, "Failed to inspect code signature for " + exe + ": "},
      {{1, "req", "\xff\xfe"}, "Failed to inspect code signature for " + exe + ": req"},  // not UTF-8: empty
      {{0, "designated => x", "Identifier= \n"}, "Missing signing identifier for " + exe},
      {{0, "", "Identifier=com.a\n"}, "Missing designated requirement for " + exe},
  };
  for (const auto& [output, error] : cases) {
    os.codesign_outputs[exe] = output;
    EXPECT_EQ(builder.fetch_code_signature(exe).error(), error) << output.standard_error;
  }
  // The requirement printed on stderr counts as well as on stdout.
  os.codesign_outputs[exe] = {0, "Identifier=com.a", "designated => anchor apple"};
  EXPECT_EQ(testing::value_of(builder.fetch_code_signature(exe)).designated_requirement, "anchor apple");
}

}  // namespace
}  // namespace kivo::nem
