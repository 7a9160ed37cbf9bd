// What vivozi loads before it answers: a library a command does not use costs every run its
// loading, which dominates a short query's time beside `df`.
#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

// The dynamic loader's own account of every object it loaded, from its debug output.
std::string loadedObjects(const std::string& arguments) {
    const std::string command = "LD_DEBUG=files '" VIVOZI_BINARY "' " + arguments +
                                " 2>&1 >/dev/null | grep -o 'file=[^ ]*'";
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        std::array<char, 4096> buffer{};
        for (std::size_t got; (got = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
            out.append(buffer.data(), got);
        pclose(pipe);
    }
    return out;
}

TEST(VivoziStartup, LoadsOnlyWhatTheCommandUses) {
    const struct {
        const char* arguments;
        const char* absent;
    } cases[] = {
        {"size 1", "libsystemd"},
        {"", "libsystemd"},
        {"df /", "libsystemd"},
    };
    for (const auto& c : cases) {
        const std::string loaded = loadedObjects(c.arguments);
        // The loader names what it loads; nothing at all means the check itself is broken.
        ASSERT_NE(loaded.find("libVivoziZevidodirid"), std::string::npos) << loaded;
        EXPECT_EQ(loaded.find(c.absent), std::string::npos)
            << "vivozi " << c.arguments << " loaded " << c.absent << ":\n"
            << loaded;
    }
}

} // namespace
