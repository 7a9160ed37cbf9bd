// Links the shared library the way a host does and checks what it exports.
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace {

using Symbols = std::set<std::string>;

Symbols linesOf(std::istream& in) {
    Symbols lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.insert(line);
    return lines;
}

std::string listed(const Symbols& symbols) {
    std::string text;
    for (const auto& symbol : symbols)
        text += "\n  " + symbol;
    return text;
}

// Every symbol exported is one the list names, and every one it names is exported: a symbol
// that leaks out, or one a host needs that went missing, shows here by name.
TEST(LibraryExports, ExactlyTheListedInterface) {
    FILE* pipe = popen("'" VZ_SOURCE_DIR "/scripts/exports.sh' '" VZ_LIBRARY_FILE "'", "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exports.sh failed";
    std::istringstream out(text);
    const Symbols exported = linesOf(out);
    std::ifstream file(VZ_SOURCE_DIR "/tests/library/exports.txt");
    ASSERT_TRUE(file) << "no tests/library/exports.txt";
    const Symbols intended = linesOf(file);
    ASSERT_FALSE(exported.empty()) << "nm found no symbols";

    Symbols added, lost;
    for (const auto& symbol : exported)
        if (!intended.count(symbol))
            added.insert(symbol);
    for (const auto& symbol : intended)
        if (!exported.count(symbol))
            lost.insert(symbol);
    EXPECT_TRUE(added.empty() && lost.empty())
        << "exported, not in tests/library/exports.txt:" << listed(added)
        << "\nin tests/library/exports.txt, not exported:" << listed(lost)
        << "\nAfter a deliberate change to the interface: make exports";
}

TEST(LibraryExports, VersionSymbols) {
    EXPECT_EQ(VivoziZevidodiridVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(VivoziZevidodiridVersionString),
                 "@(#)PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1\n");
}

} // namespace
