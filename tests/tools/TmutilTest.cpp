#include "support/TestSupport.h"

#include <VivoziZevidodirid/Tools.h>
#include <gtest/gtest.h>

namespace {

class Tmutil : public ::testing::Test {
protected:
    void SetUp() override {
        paths.edit().tmutil = dir.file("tmutil");
        paths.apply();
    }

    // A tmutil that records its arguments, one "[...]" each, then the count, and prints output.
    void install(const std::string& output) {
        vztest::writeFile(dir.file("output"), output);
        vztest::writeScript(dir.file("tmutil"),
                            "for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" +
                                dir.file("args") + "'\necho $# >> '" + dir.file("args") +
                                "'\ncat '" + dir.file("output") + "'\n");
    }

    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
};

TEST_F(Tmutil, ArgumentsReachTheToolUnchanged) {
    install("<plist version=\"1.0\"><true/></plist>\n");
    const std::pair<std::optional<std::vector<std::string>>, std::string> cases[] = {
        {std::nullopt, "0\n"},
        {std::vector<std::string>{"two words", "", "*", "$HOME"}, "[two words][][*][$HOME]4\n"},
    };
    for (const auto& [args, recorded] : cases) {
        EXPECT_TRUE(tmutil(args).boolValue());
        EXPECT_EQ(vztest::readFile(dir.file("args")), recorded);
    }
}

TEST_F(Tmutil, ReturnsAnyRootKindOrAbsent) {
    install("<plist><dict><key>Names</key><array><string>one</string></array></dict></plist>");
    const PlistValue original = tmutil({{"list"}});
    ASSERT_TRUE(original.isDictionary());
    EXPECT_TRUE(original["Names"][0].isEqualToString("one"));
    // The copy shares nothing with the original.
    PlistValue copy = KXDeepMutableCopyPropertyListObject(original);
    EXPECT_EQ(copy, original);
    *copy.mutableObjectForKey("Names")->mutableObjectAtIndex(0)->mutableString() += "!";
    EXPECT_TRUE(original["Names"][0].isEqualToString("one"));

    for (const std::string output : {"", "Usage: tmutil <verb> <options>\n"}) {
        install(output);
        EXPECT_TRUE(tmutil(std::nullopt).isAbsent()) << output;
    }
    paths.edit().tmutil = dir.file("missing");
    paths.apply();
    EXPECT_TRUE(tmutil({{"list"}}).isAbsent());
}

} // namespace
