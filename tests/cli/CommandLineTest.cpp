// The command-line walk the camera tools share: options in order, values taken by the
// option before them, --help ending the walk wherever it stands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ToolCommon.h"

namespace {

struct Walk {
    tool::CommonOptions common;
    std::vector<std::string> others;  // what the tool was handed, values after their option
};

// Runs the walk over `args` for a tool with one option of its own, --value V.
Walk walk(std::vector<std::string> args, bool takesVerbose = true) {
    args.insert(args.begin(), "tool");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());
    Walk w;
    w.common = tool::parseCommandLine(argc, argv.data(), takesVerbose, [&](const std::string& a, int& i) {
        if (a == "--value") w.others.push_back(a + "=" + tool::optionValue(argc, argv.data(), i));
        else if (a.rfind("--", 0) == 0) throw tool::UsageError("unknown argument '" + a + "'");
        else w.others.push_back(a);
    });
    return w;
}

TEST(CommandLineTest, CommonOptionsAreTakenAndTheRestHandedOnInOrder) {
    const Walk w = walk({"A", "--camera", "SN-1", "--value", "--camera", "B", "--verbose"});
    EXPECT_EQ(w.common.camera, "SN-1");
    EXPECT_TRUE(w.common.verbose);
    EXPECT_FALSE(w.common.help);
    EXPECT_EQ(w.others, (std::vector<std::string>{"A", "--value=--camera", "B"}))
        << "an option's value is never read as an option";

    const Walk last = walk({"--camera", "one", "--camera", "two"});
    EXPECT_EQ(last.common.camera, "two") << "the last --camera counts";
    EXPECT_TRUE(walk({}).common.camera.empty());
}

TEST(CommandLineTest, VerboseOnlyWhereTheToolTakesIt) {
    EXPECT_FALSE(walk({"--camera", "x"}).common.verbose);
    try {
        walk({"--verbose"}, false);
        FAIL() << "--verbose taken by a tool without it";
    } catch (const tool::UsageError& e) {
        EXPECT_STREQ(e.what(), "unknown argument '--verbose'");
    }
}

TEST(CommandLineTest, HelpEndsTheWalkButWhatCameBeforeItCounts) {
    const Walk w = walk({"A", "-h", "--unknown", "--camera"});
    EXPECT_TRUE(w.common.help);
    EXPECT_EQ(w.others, std::vector<std::string>{"A"}) << "nothing after --help is looked at";
    EXPECT_TRUE(walk({"--help"}).common.help);
    EXPECT_THROW(walk({"--unknown", "--help"}), tool::UsageError);
    // "--help" as a value is a value.
    const Walk value = walk({"--camera", "--help"});
    EXPECT_FALSE(value.common.help);
    EXPECT_EQ(value.common.camera, "--help");
}

TEST(CommandLineTest, OptionWithoutItsValueIsAUsageError) {
    for (const char* option : {"--camera", "--value"}) {
        try {
            walk({"A", option});
            FAIL() << option;
        } catch (const tool::UsageError& e) {
            EXPECT_EQ(std::string(e.what()), std::string(option) + " needs a value");
        }
    }
}

}  // namespace
