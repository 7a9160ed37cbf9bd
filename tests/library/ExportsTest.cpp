// Links the shared library the way a host does and checks what it exports.
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <set>

namespace {

using Symbols = std::set<std::string>;

// The non-empty lines a command prints; none when it fails.
std::optional<Symbols> linesOf(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    Symbols lines;
    char* line = nullptr;
    std::size_t size = 0;
    for (ssize_t n; pipe && (n = getline(&line, &size, pipe)) > 0;)
        if (line[0] != '\n')
            lines.emplace(line, line[n - 1] == '\n' ? n - 1 : n);
    std::free(line);
    return pipe && pclose(pipe) == 0 ? std::optional(lines) : std::nullopt;
}

// A symbol that leaks out, or one a host needs that went missing, shows here by name.
TEST(LibraryExports, ExactlyTheListedInterfaceAndTheVersionSymbols) {
    const auto exported = linesOf("'" VZ_SOURCE_DIR "/scripts/exports.sh' '" VZ_LIBRARY_FILE "'"),
               listed = linesOf("cat '" VZ_SOURCE_DIR "/tests/library/exports.txt'");
    ASSERT_TRUE(exported && listed && !exported->empty() && !listed->empty())
        << "exports.sh failed, or no exports.txt";
    const auto minus = [](const Symbols& a, const Symbols& b) {
        Symbols rest;
        std::ranges::set_difference(a, b, std::inserter(rest, rest.end()));
        return rest;
    };
    EXPECT_EQ(minus(*exported, *listed), Symbols{}) << "exported, not in tests/library/exports.txt";
    EXPECT_EQ(minus(*listed, *exported), Symbols{})
        << "in exports.txt, not exported. After a deliberate change to the interface: make exports";
    EXPECT_EQ(VivoziZevidodiridVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(VivoziZevidodiridVersionString),
                 "@(#)PROGRAM:VivoziZevidodirid  PROJECT:Lumivane-1\n");
}

} // namespace
