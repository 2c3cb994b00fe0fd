#include "kivo_ne_manager/app_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_network_extension.h"
#include "testing/macos_samples.h"

namespace kivo::nem {
namespace {

using ::testing::ElementsAre;
using testing::FakePlatform;

TEST(CodesignOutput, TakesTheLastIdentifierAndRequirementLines) {
  struct {
    std::string output;
    std::optional<std::string> identifier, requirement;
  } cases[] = {
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
  for (const auto& c : cases) {
    auto r = read_codesign_output(c.output);
    EXPECT_EQ(r.signing_identifier, c.identifier) << c.output;
    EXPECT_EQ(r.designated_requirement, c.requirement) << c.output;
  }
}

TEST(CodesignOutput, PathExtensions) {
  EXPECT_EQ(path_extension("/Applications/Safari.app"), "app");
  EXPECT_EQ(path_extension("/Applications/Safari.APP/"), "APP");
  EXPECT_EQ(path_extension("/Applications/v1.2/Tool"), "");
  EXPECT_EQ(path_extension("/Applications/.app"), "");
}

struct Rules : ::testing::Test {
  FakePlatform os;
  AppRuleBuilder builder{os};
};

TEST_F(Rules, DiscoveryWalksThreeLevelsAndSkipsWhatIsNotAnApplication) {
  std::string x = os.add_app("/Applications/X.app", "com.x");
  std::string y = os.add_app("/Applications/Utilities/Y.app", "com.y");
  std::string z = os.add_app("/Applications/A/B/Z.app", "com.z");
  os.add_app("/Applications/A/B/C/W.app", "com.w");                    // level 4
  os.add_directory("/Applications/Empty.app/Contents/MacOS");          // no executable
  os.add_file("/Applications/Broken.app/Contents/MacOS/Main", false);  // not a regular file
  std::string calc = os.add_app("/System/Applications/Calculator.app", "com.apple.calculator");
  std::string mine = os.add_app("/Users/kim/Applications/Mine.app", "com.kim.mine");
  // One application reached through two roots is listed once, under its resolved path.
  os.add_app("/Users/kim/Applications/Alias.app", "com.x");
  os.links["/Users/kim/Applications/Alias.app/Contents/MacOS/Main"] = x;
  EXPECT_THAT(builder.discover_installed_applications(), ElementsAre(z, y, x, calc, mine));
}

TEST_F(Rules, ExcludedPathsMustNameAnApplication) {
  os.add_directory("/Applications/Empty.app/Contents/MacOS");
  std::string app = os.add_app("/Applications/A.app", "com.a");
  EXPECT_EQ(builder.canonical_executable_path(" \n\t").error(), "Application path cannot be empty.");
  EXPECT_EQ(builder.canonical_executable_path(" /Applications/Empty.app \n").error(),
            "No executable found in /Applications/Empty.app.");
  EXPECT_EQ(*builder.canonical_executable_path("/Applications/A.app/"), app);
  EXPECT_EQ(*builder.canonical_executable_path(app), app);
  EXPECT_EQ(*builder.canonical_executable_path("/usr/local/bin/tool"), "/usr/local/bin/tool");
}

TEST_F(Rules, IncludedRulesAreTheSignedApplicationsThatAreNotExcluded) {
  std::string a = os.add_app("/Applications/A.app", "com.a");
  std::string b = os.add_app("/Applications/B.app", "com.b");
  std::string c = os.add_app("/Applications/C.app", "");  // unsigned: dropped
  std::string d = os.add_app("/Applications/D.app", "com.d");
  os.codesign_outputs[d].standard_output.clear();  // no requirement: dropped

  // The bundle and the executable inside it exclude the same application.
  for (const auto& excluded : {std::string("/Applications/A.app"), a}) {
    os.processes_run.clear();
    auto rules = builder.build_included_app_rules({excluded});
    ASSERT_TRUE(rules.ok()) << rules.error();
    EXPECT_THAT(*rules, ElementsAre(AppRule{"com.b", "identifier \"com.b\"", b}));
    EXPECT_THAT(os.processes_run, ElementsAre("/usr/bin/codesign -d --verbose=4 -r- " + b,
                                              "/usr/bin/codesign -d --verbose=4 -r- " + c,
                                              "/usr/bin/codesign -d --verbose=4 -r- " + d));
  }
  EXPECT_EQ(builder.build_included_app_rules({a, b, c, d}).error(),
            "App-based split tunneling could not derive any included macOS apps from the current installation set.");
  EXPECT_EQ(builder.build_included_app_rules({a, b}).error(),
            "App-based split tunneling could not build any usable macOS app rules from the installed application set.");
}

TEST_F(Rules, CodeSignatureFailuresSayWhatWasMissing) {
  const std::string exe = "/Applications/A.app/Contents/MacOS/A";
  struct {
    ProcessOutput output;
    std::string error;
  } cases[] = {
      {{1, "out\n", "A: code object is not signed at all\n"},
       "Failed to inspect code signature for " + exe + ": A: code object is not signed at all\n\nout\n"},
      {{3, "", ""}, "Failed to inspect code signature for " + exe + ": "},
      {{1, "req", "\xff\xfe"}, "Failed to inspect code signature for " + exe + ": req"},  // not UTF-8: empty
      {{0, "designated => x", "Identifier= \n"}, "Missing signing identifier for " + exe},
      {{0, "", "Identifier=com.a\n"}, "Missing designated requirement for " + exe},
  };
  for (const auto& c : cases) {
    os.codesign_outputs[exe] = c.output;
    EXPECT_EQ(builder.fetch_code_signature(exe).error(), c.error);
  }
  // The requirement printed on stderr counts as well as on stdout.
  os.codesign_outputs[exe] = {0, "Identifier=com.a", "designated => anchor apple"};
  auto sig = builder.fetch_code_signature(exe);
  ASSERT_TRUE(sig.ok());
  EXPECT_EQ(sig->designated_requirement, "anchor apple");
}

}  // namespace
}  // namespace kivo::nem
