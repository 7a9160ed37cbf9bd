#include "support/TestSupport.h"

#include <VivoziZevidodirid/Tools.h>
#include <gtest/gtest.h>

namespace {

std::string plistDocument(const std::string& body) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">)" +
           body + "</plist>\n";
}

class Tmutil : public ::testing::Test {
protected:
    // A tmutil that records its arguments, one "[...]" each, then the count, and prints output.
    void install(const std::string& output) {
        vztest::writeFile(dir.file("output"), output);
        vztest::writeScript(dir.file("tmutil"),
                            "for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" +
                                dir.file("args") + "'\necho $# >> '" + dir.file("args") +
                                "'\ncat '" + dir.file("output") + "'\n");
    }
    std::string arguments() const { return vztest::readFile(dir.file("args")); }

    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
    void SetUp() override {
        paths.edit().tmutil = dir.file("tmutil");
        paths.apply();
    }
};

TEST_F(Tmutil, ArgumentsReachTheToolUnchanged) {
    install(plistDocument("<true/>"));
    const std::pair<std::optional<std::vector<std::string>>, std::string> cases[] = {
        {std::nullopt, "0\n"},
        {std::vector<std::string>{}, "0\n"},
        {std::vector<std::string>{"destinationinfo", "-X"}, "[destinationinfo][-X]2\n"},
        {std::vector<std::string>{"two words", "", "*", "$HOME"}, "[two words][][*][$HOME]4\n"},
    };
    for (const auto& [args, recorded] : cases) {
        EXPECT_TRUE(tmutil(args).boolValue());
        EXPECT_EQ(arguments(), recorded);
    }
}

TEST_F(Tmutil, ReturnsAnyRootKindOrAbsent) {
    install(plistDocument("<array><string>a</string><integer>2</integer></array>"));
    const PlistValue array = tmutil({{"list"}});
    ASSERT_TRUE(array.isArray());
    EXPECT_EQ(array.count(), 2u);
    EXPECT_EQ(array[1].doubleValue(), 2.0);

    for (const std::string output : {"", "Usage: tmutil <verb> <options>\n"}) {
        install(output);
        EXPECT_TRUE(tmutil(std::nullopt).isAbsent());
    }
    paths.edit().tmutil = dir.file("missing");
    paths.apply();
    const PlistValue missing = tmutil({{"list"}});
    EXPECT_TRUE(missing.isAbsent());
    EXPECT_EQ(missing["Containers"].count(), 0u);
}

TEST_F(Tmutil, DeepCopyChangesNothingOfTheOriginal) {
    install(plistDocument("<dict><key>Names</key><array><string>one</string></array></dict>"));
    const PlistValue original = tmutil({{"list"}});
    ASSERT_TRUE(original.isDictionary());
    PlistValue copy = KXDeepMutableCopyPropertyListObject(original);
    EXPECT_EQ(copy, original);
    EXPECT_TRUE(copy.setValueForKey("Added", PlistValue(1)));
    PlistValue* names = copy.mutableObjectForKey("Names");
    ASSERT_NE(names, nullptr);
    EXPECT_TRUE(names->append(PlistValue("two")));
    *names->mutableObjectAtIndex(0)->mutableString() += "!";

    EXPECT_EQ(original.count(), 1u);
    EXPECT_EQ(original["Names"].count(), 1u);
    EXPECT_TRUE(original["Names"][0].isEqualToString("one"));
    EXPECT_TRUE(copy["Names"][0].isEqualToString("one!"));
    EXPECT_TRUE(KXDeepMutableCopyPropertyListObject(PlistValue()).isAbsent());
}

} // namespace
