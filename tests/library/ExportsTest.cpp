// Links the shared library the way a host does and checks what it exports.
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

std::vector<std::string> exportedSymbols() {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen("nm -D --defined-only -C " VZ_BINARY_DIR
                                                     "/libVivoziZevidodirid.so.1 2>/dev/null",
                                                     "r"),
                                               pclose);
    std::vector<std::string> symbols;
    char line[4096];
    while (pipe && fgets(line, sizeof line, pipe.get())) {
        std::string text(line); // "<address> <type> <name>\n"
        const auto second = text.find(' ', text.find(' ') + 1);
        if (second != std::string::npos && text.back() == '\n')
            symbols.push_back(text.substr(second + 1, text.size() - second - 2));
    }
    return symbols;
}

bool declaredInterface(const std::string& symbol) {
    static const std::regex ours("((typeinfo (name )?for |vtable for )?(PlistValue|kx::|"
                                 "VivoziZevidodirid)|operator==\\(PlistValue|KX|get|"
                                 "GetVolumeAPFS|tmutil|isFullDiskAccessSetup|progress).*");
    // Standard templates instantiated for exported types keep default visibility; they carry
    // no code of ours beyond those types.
    static const std::regex standard("(void )?std::.*(PlistValue|kx::).*");
    return std::regex_match(symbol, ours) || std::regex_match(symbol, standard);
}

TEST(LibraryExports, OnlyTheDeclaredInterface) {
    const auto symbols = exportedSymbols();
    ASSERT_FALSE(symbols.empty()) << "nm found no symbols";
    for (const auto& symbol : symbols) {
        EXPECT_TRUE(declaredInterface(symbol)) << symbol;
        EXPECT_EQ(symbol.find("vz::"), std::string::npos) << symbol;
        EXPECT_EQ(symbol.find("pugi::"), std::string::npos) << symbol;
    }
}

TEST(LibraryExports, VersionSymbols) {
    EXPECT_EQ(VivoziZevidodiridVersionNumber, 1.0);
    const char* text = reinterpret_cast<const char*>(VivoziZevidodiridVersionString);
    ASSERT_EQ(std::strlen(text), 50u);
    EXPECT_STREQ(text, "@(#)PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1\n");
}

TEST(LibraryExports, HostCanUseEverySubsystem) {
    double bytes = 1500000;
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&bytes), "1M");
    EXPECT_TRUE(KXDeepMutableCopyPropertyListObject(PlistValue()).isAbsent());
    EXPECT_EQ(getAPFSVolumeRole("/dev/disk1s1"), APFSVolumeRoleNone);
    VivoziZevidodiridFramework runner;
    EXPECT_FALSE(runner.shouldContinue());
    runner.cancelVivoziZevidodirid();
    EXPECT_EQ(runner.task(), nullptr);
}

} // namespace
