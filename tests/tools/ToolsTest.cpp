#include "support/TestSupport.h"
#include "tools/ToolRunner.h"

#include <VivoziZevidodirid/Tools.h>
#include <gtest/gtest.h>

namespace {

// Each of these tools exits 1: the status must not matter.
TEST(ToolRunner, ReadsOutputAsTextOrPropertyList) {
    const struct {
        const char* printf;
        std::optional<std::string> text;
        bool plist;
    } cases[] = {
        {"", "", false},
        {"\\177", "\177", false},       // 127 is still ASCII
        {"\\200", std::nullopt, false}, // the lowest non-ASCII byte
        {"<plist><true/></plist>", "<plist><true/></plist>", true},
    };
    vztest::TempDir dir;
    for (const auto& c : cases) {
        vztest::writeScript(dir.file("tool"), std::string("printf '") + c.printf + "'\nexit 1\n");
        const vz::ToolOutput output = vz::runToolReadingOutput(dir.file("tool"), std::nullopt);
        EXPECT_EQ(vz::textFromToolOutput(output), c.text);
        EXPECT_EQ(vz::plistFromToolOutput(output).isAbsent(), !c.plist);
    }
}

TEST(ToolRunner, LargeOutputComesBackExactly) {
    vztest::TempDir dir;
    std::string content(std::size_t{16} << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i >> 12) ^ i);
    vztest::writeFile(dir.file("data"), content);
    EXPECT_TRUE(vz::runToolReadingOutput("/bin/cat", {{dir.file("data")}}) == content);
}

TEST(ToolRunner, ToolThatCannotStartYieldsNothing) {
    vztest::TempDir dir;
    vztest::writeFile(dir.file("plain"), "#!/bin/sh\necho hi\n");
    for (const std::string& path : {dir.file("missing"), dir.file("plain"), dir.path()})
        EXPECT_EQ(vz::textFromToolOutput(vz::runToolReadingOutput(path, {{"x"}})), "");
}

TEST(Tmutil, PassesArgumentsUnchangedAndReadsAPropertyList) {
    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
    paths.edit().tmutil = dir.file("tmutil");
    paths.apply();
    // Prints a property list only when given arguments.
    vztest::writeScript(dir.file("tmutil"),
                        "for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" + dir.file("args") +
                            "'\n[ $# = 0 ] && echo Usage || echo '<plist><true/></plist>'\n");
    EXPECT_TRUE(tmutil({{"two words", "", "*", "$HOME"}}).boolValue());
    EXPECT_EQ(vztest::readFile(dir.file("args")), "[two words][][*][$HOME]");
    EXPECT_TRUE(tmutil(std::nullopt).isAbsent());
    paths.edit().tmutil = dir.file("missing");
    paths.apply();
    EXPECT_TRUE(tmutil({{"list"}}).isAbsent());
}

} // namespace
