// Links the shared library the way a host does and checks what it exports.
#include <VivoziZevidodirid/VivoziZevidodirid.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<std::string> exportedSymbols() {
    const std::string command =
        "nm -D --defined-only -C " VZ_BINARY_DIR "/libVivoziZevidodirid.so.1 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::vector<std::string> symbols;
    if (!pipe)
        return symbols;
    std::array<char, 4096> line{};
    while (fgets(line.data(), line.size(), pipe.get())) {
        std::string text(line.data());
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        // "<address> <type> <name>"
        const auto first = text.find(' ');
        const auto second = text.find(' ', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            continue;
        symbols.push_back(text.substr(second + 1));
    }
    return symbols;
}

bool declaredInterface(const std::string& symbol) {
    static const char* const prefixes[] = {
        "PlistValue",        "kx::",
        "VivoziZevidodirid", "typeinfo for PlistValue",
        "typeinfo for kx::", "typeinfo for VivoziZevidodirid",
        "typeinfo name for PlistValue", "typeinfo name for kx::",
        "typeinfo name for VivoziZevidodirid", "vtable for kx::",
        "vtable for VivoziZevidodirid", "operator==(PlistValue",
        "KX",                "get",
        "GetVolumeAPFS",     "tmutil",
        "isFullDiskAccessSetup", "progress",
    };
    for (const char* prefix : prefixes)
        if (symbol.rfind(prefix, 0) == 0)
            return true;
    // Standard templates instantiated for exported types keep default visibility; they carry
    // no code of ours beyond those types.
    if (symbol.rfind("std::", 0) == 0 || symbol.rfind("void std::", 0) == 0)
        return symbol.find("PlistValue") != std::string::npos ||
               symbol.find("kx::") != std::string::npos;
    return false;
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
    EXPECT_EQ(bytes, 1048576.0);
    EXPECT_TRUE(KXDeepMutableCopyPropertyListObject(PlistValue()).isAbsent());
    EXPECT_EQ(getAPFSVolumeRole("/dev/disk1s1"), APFSVolumeRoleNone);
    auto runner = std::make_unique<VivoziZevidodiridFramework>();
    EXPECT_FALSE(runner->shouldContinue());
    runner->cancelVivoziZevidodirid();
    EXPECT_EQ(runner->task(), nullptr);
}

} // namespace
