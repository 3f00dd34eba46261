// The command line is the CLI's contract with scripts: every option must mean the same wherever it
// stands, and anything malformed must be a usage error, never a guess.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <variant>
#include <vector>

#include "TestSupport.h"
#include "cli/Args.h"

using namespace std::chrono_literals;
using zevrin::cli::Command;
using zevrin::cli::JsonRequested;
using zevrin::cli::ParseArgs;
using zevrin::cli::ParsedArgs;
using zevrin::cli::UsageError;

namespace {

const std::string kDigest = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
const std::string kDigestLower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// The digest with its first character replaced.
std::string DigestStartingWith(char c) {
    std::string digest = kDigest;
    digest[0] = c;
    return digest;
}

ParsedArgs Ok(const std::vector<std::string>& args) {
    auto r = ParseArgs(args);
    if (auto* e = std::get_if<UsageError>(&r)) {
        ADD_FAILURE() << "unexpected usage error: " << e->message;
        return {};
    }
    return std::get<ParsedArgs>(r);
}

std::string Error(const std::vector<std::string>& args) {
    auto r = ParseArgs(args);
    if (!std::holds_alternative<UsageError>(r)) {
        ADD_FAILURE() << "accepted what should be a usage error";
        return {};
    }
    return std::get<UsageError>(r).message;
}

TEST(ArgsTest, CommandsAndTheirFiles) {
    EXPECT_EQ(Ok({"list"}).command, Command::List);
    EXPECT_EQ(Ok({"version"}).command, Command::Version);
    const ParsedArgs info = Ok({"info", "a.dat"});
    EXPECT_EQ(info.command, Command::Info);
    EXPECT_EQ(info.file, "a.dat");
    const ParsedArgs update = Ok({"update", "dir with space/b.dat"});
    EXPECT_EQ(update.command, Command::Update);
    EXPECT_EQ(update.file, "dir with space/b.dat");
    // Defaults: a real device, the 15 s silence limit, quiet, asking.
    EXPECT_FALSE(update.simulate);
    EXPECT_FALSE(update.yes);
    EXPECT_FALSE(update.verbose);
    EXPECT_FALSE(update.device.has_value());
    EXPECT_EQ(update.silenceLimit, 15000ms);
}

// Each option gives the same result before the command, between command and file, and after both.
TEST(ArgsTest, OptionsMeanTheSameWhereverTheyStand) {
    const std::vector<std::vector<std::string>> options = {
        {"--device", "/dev/hidraw7"},
        {"--device=/dev/hidraw7"},
        {"--simulate"},
        {"--timeout", "2.5"},
        {"--timeout=2.5"},
        {"--yes"},
        {"-y"},
        {"-v"},
        {"--verbose"},
        {"--sha256", kDigest},
        {"--sha256=" + kDigest},
        {"--wait"},
        {"--wait=2.5"},
        {"--simulate=3"},
        {"--all"},
        {"--repeat", "--yes"},
        {"--only-if-newer"},
        {"--simulate-arrive=2.5"},
        {"--simulate-fault=unplug@3"},
    };
    for (const auto& option : options) {
        std::vector<std::vector<std::string>> placements;
        for (size_t at : {0u, 1u, 2u}) {
            std::vector<std::string> args = {"update", "f.dat"};
            args.insert(args.begin() + static_cast<long>(at), option.begin(), option.end());
            placements.push_back(args);
        }
        for (const auto& args : placements) {
            SCOPED_TRACE(::testing::PrintToString(args));
            const ParsedArgs p = Ok(args);
            EXPECT_EQ(p.command, Command::Update);
            EXPECT_EQ(p.file, "f.dat");
            const std::string& name = option[0];
            EXPECT_EQ(p.device.value_or(""), name.rfind("--device", 0) == 0 ? "/dev/hidraw7" : "");
            EXPECT_EQ(p.simulate, name.rfind("--simulate", 0) == 0);
            EXPECT_EQ(p.simulatedGamepads, name == "--simulate=3" ? 3 : 1);
            EXPECT_EQ(p.yes, option.back() == "--yes" || name == "-y");
            EXPECT_EQ(p.wait, name.rfind("--wait", 0) == 0);
            EXPECT_EQ(p.waitLimit.value_or(0ms), name == "--wait=2.5" ? 2500ms : 0ms);
            EXPECT_EQ(p.all, name == "--all");
            EXPECT_EQ(p.repeat, name == "--repeat");
            EXPECT_EQ(p.onlyIfNewer, name == "--only-if-newer");
            EXPECT_EQ(p.simulateArrive.value_or(0ms),
                      name == "--simulate-arrive=2.5" ? 2500ms : 0ms);
            EXPECT_EQ(p.simulateUnplugAfter, name == "--simulate-fault=unplug@3" ? 3u : 0u);
            EXPECT_EQ(p.verbose, name == "-v" || name == "--verbose");
            EXPECT_EQ(p.silenceLimit, name.rfind("--timeout", 0) == 0 ? 2500ms : 15000ms);
            // Either case on the command line, one spelling to compare with.
            EXPECT_EQ(p.sha256.value_or(""), name.rfind("--sha256", 0) == 0 ? kDigestLower : "");
        }
    }
    const ParsedArgs all =
        Ok({"-v", "--simulate", "update", "--device", "sim:gamepad", "f.dat", "--yes"});
    EXPECT_TRUE(all.verbose && all.simulate && all.yes);
    EXPECT_EQ(all.device.value_or(""), "sim:gamepad");
}

TEST(ArgsTest, TimeoutTakesPositiveSecondsAndRoundsUp) {
    EXPECT_EQ(Ok({"--timeout", "1", "version"}).silenceLimit, 1000ms);
    EXPECT_EQ(Ok({"--timeout", "0.0001", "version"}).silenceLimit, 1ms);  // never zero
    EXPECT_EQ(Ok({"--timeout", "3600", "version"}).silenceLimit, 3600000ms);
    for (const char* bad : {"0", "-1", "abc", "1s", "", "inf", "nan", "3600.5", "1e3", "0x10"}) {
        SCOPED_TRACE(bad);
        EXPECT_NE(Error({"version", "--timeout", bad}), "");
    }
}

TEST(ArgsTest, HelpAndVersionNeedNoCommand) {
    EXPECT_TRUE(Ok({"--help"}).help);
    EXPECT_TRUE(Ok({"-h"}).help);
    EXPECT_TRUE(Ok({"update", "--help"}).help);  // help for a half-typed command line
    const ParsedArgs v = Ok({"--version"});
    EXPECT_TRUE(v.showVersion);
    EXPECT_EQ(v.command, Command::None);
    // "version" the command and "--version" the option are different things.
    EXPECT_FALSE(Ok({"version"}).showVersion);
}

// --json is for every command; an update then cannot ask its question, so it needs --yes.
TEST(ArgsTest, JsonForEveryCommandAndUpdateOnlyWithYes) {
    EXPECT_FALSE(Ok({"list"}).json);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--json", "list"},
             {"version", "--json"},
             {"info", "--json", "f.dat"},
             {"update", "f.dat", "--json", "--yes"},
             {"--json", "-y", "update", "f.dat"},
             {"--all", "--json", "version"},
             {"--repeat", "--json", "--yes", "update", "f.dat"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_TRUE(Ok(args).json);
    }
    EXPECT_NE(Error({"--json", "update", "f.dat"}).find("--yes"), std::string::npos);
    EXPECT_TRUE(Ok({"--json", "update", "--help"}).help);

    // The one thing known of a command line that does not parse: whether it wants JSON.
    EXPECT_TRUE(JsonRequested({"--json", "frobnicate"}));
    EXPECT_TRUE(JsonRequested({"update", "--json"}));
    EXPECT_FALSE(JsonRequested({"update", "a.dat"}));
    EXPECT_FALSE(JsonRequested({"info", "--", "--json"}));  // a file named --json
}

TEST(ArgsTest, DoubleDashLetsAFileStartWithADash) {
    const ParsedArgs p = Ok({"info", "--", "-odd.dat"});
    EXPECT_EQ(p.file, "-odd.dat");
    EXPECT_NE(Error({"info", "-odd.dat"}), "");  // without it, an unknown option
}

TEST(ArgsTest, MalformedCommandLinesAreUsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                          // no command
        {"--simulate"},                              // options only
        {"flash", "f.dat"},                          // unknown command
        {"update"},                                  // no file
        {"info"},                                    // no file
        {"update", "a.dat", "b.dat"},                // two files
        {"list", "extra"},                           // list takes no file
        {"version", "f.dat"},                        // version takes no file
        {"--frobnicate", "list"},                    // unknown option
        {"-vy", "list"},                             // short options do not combine
        {"list", "--device"},                        // missing value
        {"list", "--device="},                       // empty value
        {"list", "--device", "a", "--device", "b"},  // given twice
        {"list", "--timeout"},                       // missing value
        {"list", "--timeout", "1", "--timeout", "2"},
        {"list", "--simulate=yes"},  // takes no value
        {"list", "--yes=1"},
        {"list", "--json=1"},
        {"update", "f.dat", "--sha256"},                           // missing value
        {"update", "f.dat", "--sha256", kDigest.substr(1)},        // 63 digits
        {"update", "f.dat", "--sha256", kDigest + "0"},            // 65 digits
        {"update", "f.dat", "--sha256", DigestStartingWith('g')},  // not hex
        {"update", "f.dat", "--sha256", DigestStartingWith(' ')},
        {"update", "f.dat", "--sha256", kDigest, "--sha256", kDigest},
        {"info", "f.dat", "--sha256", kDigest},  // only an update checks it
        {"list", "--sha256", kDigest},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_NE(Error(args), "");
    }
}

// The workbench's options: their values, and --all and --repeat only where they mean something.
TEST(ArgsTest, WorkbenchOptionsOnlyWhereTheyMeanSomething) {
    const std::vector<std::vector<std::string>> bad = {
        {"list", "--simulate=0"},
        {"list", "--simulate=17"},
        {"version", "--wait", "5"},  // the bound only with '='
        {"version", "--wait=0"},
        {"version", "--wait=86401"},
        {"version", "--wait", "--wait"},
        {"--all", "list"},
        {"--all", "info", "f.dat"},
        {"--all", "--device", "d", "version"},
        {"--all", "--repeat", "--yes", "update", "f.dat"},
        {"--repeat", "update", "f.dat"},  // nobody answers between gamepads
        {"--repeat", "version"},
        {"--repeat", "--wait", "--yes", "update", "f.dat"},
        {"--only-if-newer", "version"},
        {"version", "--simulate-arrive"},
        {"version", "--simulate-arrive", "5"},
        {"version", "--simulate-arrive=0"},
        {"version", "--simulate-arrive=3601"},
        {"update", "f.dat", "--simulate-fault=unplug@0"},
        {"update", "f.dat", "--simulate-fault=unplug@"},
        {"update", "f.dat", "--simulate-fault=unplug@-2"},
        {"update", "f.dat", "--simulate-fault=stall@2"},
        {"--simulate-fault=unplug@2", "version"},  // no data to strike during
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_NE(Error(args), "");
    }
    EXPECT_NE(Error({"version", "--wait=soon"}).find("soon"), std::string::npos);
    EXPECT_NE(Error({"update", "f", "--simulate-fault=unplug@x"}).find("'unplug@x'"),
              std::string::npos);
}

TEST(ArgsTest, ErrorsNameWhatIsWrong) {
    EXPECT_NE(Error({"--frobnicate", "list"}).find("--frobnicate"), std::string::npos);
    EXPECT_NE(Error({"flash"}).find("flash"), std::string::npos);
    EXPECT_NE(Error({"update", "a", "b"}).find("'b'"), std::string::npos);
    EXPECT_NE(Error({"version", "--timeout", "soon"}).find("soon"), std::string::npos);
    // A value given as the next word to an option that takes it only after '=': the same error,
    // and the spelling meant when the word is a value the option takes.
    const zevrin::test::EnglishTexts english;
    EXPECT_EQ(Error({"--wait", "5", "list"}), "unknown command '5'; did you mean --wait=5?");
    EXPECT_EQ(Error({"--simulate", "3", "list"}),
              "unknown command '3'; did you mean --simulate=3?");
    EXPECT_EQ(Error({"version", "--wait", "2.5"}),
              "unexpected argument '2.5'; did you mean --wait=2.5?");
    EXPECT_EQ(Error({"--simulate", "17", "list"}), "unknown command '17'");  // no such value
}

TEST(ArgsTest, UsageTextListsEveryCommandAndOption) {
    const std::string usage = zevrin::cli::UsageText();
    for (const char* word :
         {"list", "version", "info FILE", "update FILE", "--device", "--simulate", "--timeout",
          "--yes", "--verbose", "--help", "--version", "--json", "--sha256 HEX", "--wait", "--all",
          "--repeat", "--only-if-newer", "--simulate-arrive=SECS", "--simulate-fault=unplug@N"}) {
        EXPECT_NE(usage.find(word), std::string::npos) << word;
    }
    // Every exit code a script may see.
    for (const char* code : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  129 ",
                             "\n  130 ", "\n  143 "}) {
        EXPECT_NE(usage.find(code), std::string::npos) << code;
    }
}

}  // namespace
