// Links the shared library the way a host does and checks what it exports.
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <regex>
#include <string>

namespace {

TEST(LibraryExports, OnlyTheDeclaredInterface) {
    static const std::regex ours("((typeinfo (name )?for |vtable for )?(PlistValue|kx::|"
                                 "VivoziZevidodirid)|operator==\\(PlistValue|KX|get|"
                                 "GetVolumeAPFS|tmutil|isFullDiskAccessSetup|progress).*");
    // Standard templates instantiated for exported types keep default visibility.
    static const std::regex standard("(void )?std::.*(PlistValue|kx::).*");
    FILE* pipe = popen("nm -D --defined-only -C " VZ_BINARY_DIR "/libVivoziZevidodirid.so.1", "r");
    ASSERT_NE(pipe, nullptr);
    int count = 0;
    for (char line[4096]; fgets(line, sizeof line, pipe); ++count) {
        std::string symbol(line); // "<address> <type> <name>\n"
        symbol = symbol.substr(symbol.find(' ', symbol.find(' ') + 1) + 1);
        symbol.pop_back();
        EXPECT_TRUE((std::regex_match(symbol, ours) || std::regex_match(symbol, standard)) &&
                    symbol.find("vz::") == std::string::npos &&
                    symbol.find("pugi::") == std::string::npos)
            << symbol;
    }
    pclose(pipe);
    EXPECT_GT(count, 0) << "nm found no symbols";
}

TEST(LibraryExports, VersionSymbols) {
    EXPECT_EQ(VivoziZevidodiridVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(VivoziZevidodiridVersionString),
                 "@(#)PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1\n");
}

} // namespace
