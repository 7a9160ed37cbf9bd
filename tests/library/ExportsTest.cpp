// Links the shared library the way a host does and checks what it exports.
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <sstream>
#include <sys/wait.h>

namespace {

using Symbols = std::set<std::string>;

Symbols linesOf(std::istream&& in) {
    Symbols lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.insert(line);
    return lines;
}

// A symbol that leaks out, or one a host needs that went missing, shows here by name.
TEST(LibraryExports, ExactlyTheListedInterfaceAndTheVersionSymbols) {
    FILE* pipe = popen("'" VZ_SOURCE_DIR "/scripts/exports.sh' '" VZ_LIBRARY_FILE "'", "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exports.sh failed";
    const Symbols exported = linesOf(std::istringstream(text)),
                  listed = linesOf(std::ifstream(VZ_SOURCE_DIR "/tests/library/exports.txt"));
    ASSERT_FALSE(exported.empty() || listed.empty()) << "no symbols, or no exports.txt";
    const auto minus = [](const Symbols& a, const Symbols& b) {
        Symbols rest;
        std::ranges::set_difference(a, b, std::inserter(rest, rest.end()));
        return rest;
    };
    EXPECT_EQ(minus(exported, listed), Symbols{}) << "exported, not in tests/library/exports.txt";
    EXPECT_EQ(minus(listed, exported), Symbols{})
        << "in exports.txt, not exported. After a deliberate change to the interface: make exports";
    EXPECT_EQ(VivoziZevidodiridVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(VivoziZevidodiridVersionString),
                 "@(#)PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1\n");
}

} // namespace
