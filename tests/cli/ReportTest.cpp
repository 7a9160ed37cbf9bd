// The volume listing of the report and `vivozi df`: its arithmetic and groups, and the program
// against df and statfs on this machine, in pipes, on a terminal and in a private mount
// namespace.
#include "cli/Format.h"
#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>

namespace {

using nlohmann::json;
using namespace vivozi;

struct Ran {
    int status = -1;
    std::string out, err;
};

// A shell command line (LC_ALL=C, NO_COLOR unset unless it sets it), its error in a file.
Ran shell(const std::string& line) {
    vztest::TempDir folder;
    Ran ran;
    const std::string command =
        "unset NO_COLOR; export LC_ALL=C; " + line + " 2>'" + folder.file("err") + "'";
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            ran.out.append(buffer, got);
        const int status = pclose(pipe);
        ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ran.err = vztest::readFile(folder.file("err"));
    return ran;
}

std::string vivozi(const std::string& arguments) {
    return std::string("'") + VIVOZI_BINARY + "' " + arguments;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(VolumeFormat, UsePercentGroupsAndBars) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const struct {
        std::uint64_t used, available;
        std::optional<unsigned> percent;
    } percents[] = {{0, 0, std::nullopt},
                    {0, 5, 0u},
                    {1, 0, 100u},
                    {1, 99, 1u},
                    {1, 199, 1u},
                    {1, 2, 34u},
                    {26426515456, 76318765056, 26u}, // df's figure for this pair
                    {kMax, 0, 100u},
                    {kMax / 2, kMax / 2, 50u},
                    {kMax, kMax, 50u},
                    {kMax / 100 + 1, 0, 100u}};
    for (const auto& c : percents)
        EXPECT_EQ(usePercent(c.used, c.available), c.percent) << c.used << " " << c.available;

    const struct {
        std::string type, source;
        std::uint64_t total;
        VolumeGroup group;
    } groups[] = {
        {"ext4", "/dev/sda1", 1, VolumeGroup::Local},
        {"overlay", "overlay", 1, VolumeGroup::Local},
        {"ext4", "/dev/sda1", 0, VolumeGroup::Special},
        {"tmpfs", "tmpfs", 1 << 20, VolumeGroup::Special},
        {"proc", "proc", 0, VolumeGroup::Special},
        {"nfs4", "server:/export", 1, VolumeGroup::Network},
        {"fuse.sshfs", "me@host:", 1, VolumeGroup::Network},
        {"fuse.unknown", "host:/x", 1, VolumeGroup::Network},
        {"cifs", "//server/share", 1, VolumeGroup::Network},
        {"ext4", "/dev/disk/by-id/a:b", 1, VolumeGroup::Local},
    };
    for (const auto& c : groups)
        EXPECT_EQ(volumeGroup(c.type, c.source, c.total), c.group) << c.type << " " << c.source;

    const struct {
        std::optional<unsigned> percent;
        bool color;
        std::string bar;
    } bars[] = {
        {0u, true, "[..........]"},
        {42u, false, "[####......]"},
        {42u, true, "[\x1b[32m####\x1b[0m......]"},
        {85u, true, "[\x1b[33m#########\x1b[0m.]"},
        {100u, true, "[\x1b[31m##########\x1b[0m]"},
        {std::nullopt, true, "[          ]"},
    };
    for (const auto& c : bars)
        EXPECT_EQ(usageBar(c.percent, 10, c.color), c.bar);
}

TEST(VolumeFormat, ColorChoiceAndDatesWithOffset) {
    const struct {
        const char* flag;
        bool terminal;
        const char* noColor;
        bool color;
    } cases[] = {
        {"auto", true, nullptr, true}, {"auto", true, "", true},
        {"auto", true, "1", false},    {"auto", false, nullptr, false},
        {"always", false, "1", true},  {"never", true, nullptr, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(colorEnabled(*parseColorMode(c.flag), c.terminal, c.noColor), c.color)
            << c.flag << c.terminal << (c.noColor ? c.noColor : "unset");
    EXPECT_FALSE(parseColorMode("yes"));

    const std::string saved = std::getenv("TZ") ? std::getenv("TZ") : "";
    for (const auto& [zone, text] : {std::pair{"XST-5:30", "2001-01-01T05:30:00+05:30"},
                                     std::pair{"XST+3", "2000-12-31T21:00:00-03:00"},
                                     std::pair{"UTC0", "2001-01-01T00:00:00+00:00"}}) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(isoDateWithOffset(978307200), text) << zone;
    }
    saved.empty() ? unsetenv("TZ") : setenv("TZ", saved.c_str(), 1);
    tzset();
}

// df's fields for one path, split.
std::vector<std::string> dfFields(const std::string& path) {
    const auto rows = vztest::lines(
        shell("df -B1 --output=source,target,size,used,avail,pcent '" + path + "'").out);
    std::vector<std::string> fields;
    std::istringstream row(rows.size() == 2 ? rows[1] : "");
    for (std::string field; row >> field;)
        fields.push_back(field);
    return fields;
}

TEST(VivoziDf, PathsAgainstDfWithIntegersAndAnErrorForTheMissingOne) {
    vztest::TempDir folder;
    vztest::writeFile(folder.file("file"), "x");
    const std::string paths[] = {"/", folder.file("file"), "/proc/self"};
    Ran ran;
    json document;
    std::vector<std::vector<std::string>> df;
    // Other processes write meanwhile: retried until df reads what vivozi read.
    for (int attempt = 0; attempt < 30; ++attempt) {
        ran = shell(vivozi("df --json / '" + folder.file("file") + "' /no/such /proc/self"));
        document = json::parse(ran.out, nullptr, false);
        df.clear();
        for (const std::string& path : paths)
            df.push_back(dfFields(path));
        if (!document.is_discarded() && document["volumes"].size() == 3 &&
            std::to_string(document["volumes"][0]["usedBytes"].get<std::uint64_t>()) == df[0][3])
            break;
    }
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "vivozi: /no/such: No such file or directory\n");
    ASSERT_EQ(document["volumes"].size(), 3u) << ran.out;
    for (std::size_t i = 0; i < 3; ++i) {
        const json& volume = document["volumes"][i];
        ASSERT_EQ(df[i].size(), 6u) << paths[i];
        EXPECT_EQ(volume["path"], paths[i]);
        EXPECT_EQ(volume["device"], df[i][0]);
        EXPECT_EQ(volume["mountPoint"], df[i][1]);
        for (const char* key : {"totalBytes", "usedBytes", "availableBytes", "freeBytes"})
            EXPECT_TRUE(volume[key].is_number_unsigned()) << key << " " << volume[key];
        EXPECT_EQ(std::to_string(volume["totalBytes"].get<std::uint64_t>()), df[i][2]);
        EXPECT_EQ(std::to_string(volume["usedBytes"].get<std::uint64_t>()), df[i][3]);
        EXPECT_EQ(std::to_string(volume["availableBytes"].get<std::uint64_t>()), df[i][4]);
        EXPECT_EQ(volume["usePercent"].is_null() ? "-" : volume["usePercent"].dump() + "%",
                  df[i][5]);
    }
    EXPECT_EQ(document["volumes"][2]["group"], "special");
    EXPECT_TRUE(std::regex_match(document["generatedAt"].get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")));
}

TEST(VivoziDf, ColourAndBarsByFlagTerminalAndNoColor) {
    const bool haveScript = shell("command -v script").status == 0;
    const struct {
        std::string line;
        bool onTerminal, bar, color;
    } cases[] = {
        {vivozi("df /"), false, false, false},
        {vivozi("df --color=always /"), false, true, true},
        {"NO_COLOR=1 " + vivozi("df --color=always /"), false, true, true},
        {vivozi("df --color=never /"), true, true, false},
        {vivozi("df /"), true, true, true},
        {"NO_COLOR=1 " + vivozi("df /"), true, true, false},
        {"NO_COLOR= " + vivozi("df /"), true, true, true},
        {vivozi("--color=always"), false, true, true},
    };
    for (const auto& c : cases) {
        if (c.onTerminal && !haveScript)
            continue;
        // script(1) gives the command a terminal of its own.
        const Ran ran = shell(c.onTerminal ? "script -qec \"" + c.line + "\" /dev/null" : c.line);
        EXPECT_EQ(ran.status, 0) << c.line << ran.err;
        EXPECT_EQ(contains(ran.out, "USAGE"), c.bar) << c.line;
        EXPECT_EQ(contains(ran.out, "\x1b["), c.color) << c.line;
    }
    const Ran bad = shell(vivozi("df --color=sometimes /"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(contains(bad.err, "--color: 'sometimes'")) << bad.err;
}

TEST(VivoziDf, FiltersAndGroups) {
    const struct {
        std::string arguments;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"df", {"\nlocal\n", "  /  "}, {"\nspecial\n", "/proc "}},
        {"df --all", {"\nlocal\n", "\nspecial\n", "/proc "}, {}},
        {"df -t proc", {"/proc "}, {"\nlocal\n"}},
        {"df --type sysfs,proc", {"/proc ", "/sys "}, {"\nlocal\n"}},
        {"df --all -x proc --exclude-type sysfs", {"\nlocal\n"}, {"/proc ", "/sys "}},
        {"df --local", {"\nlocal\n"}, {"\nnetwork\n"}},
        {"",
         {"Volumes\n    MOUNT POINT", "\n  local\n    /",
          "Full Disk Access  not applicable on this system\n"},
         {"special"}},
    };
    for (const auto& c : cases) {
        const Ran ran = shell(vivozi(c.arguments));
        EXPECT_EQ(ran.status, 0) << c.arguments << ran.err;
        for (const std::string& part : c.present)
            EXPECT_TRUE(contains("\n" + ran.out, part)) << c.arguments << ": " << part;
        for (const std::string& part : c.absent)
            EXPECT_FALSE(contains("\n" + ran.out, part)) << c.arguments << ": " << part;
    }
    const Ran none = shell(vivozi("df -t no-such-type"));
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "vivozi: no file system shows with these options\n");
}

TEST(VivoziDf, JsonKeysAreTheManPagesAndTheOnlyOnes) {
    const std::string page = vztest::readFile(VZ_SOURCE_DIR "/man/vivozi.1");
    const auto section = page.find(".SH JSON OUTPUT");
    ASSERT_NE(section, std::string::npos);
    std::set<std::string> documented, seen;
    const std::string schema = page.substr(section, page.find(".SH ", section + 1) - section);
    const std::regex key(R"re(\n *"(\w+)":)re");
    for (std::sregex_iterator at(schema.begin(), schema.end(), key), end; at != end; ++at)
        documented.insert((*at)[1]);
    for (const char* arguments : {"--json --all", "df --json --all", "df --json /"}) {
        const json document = json::parse(shell(vivozi(arguments)).out);
        for (const auto& [name, value] : document.items())
            seen.insert(name);
        for (const json& volume : document["volumes"])
            for (const auto& [name, value] : volume.items())
                seen.insert(name);
    }
    EXPECT_EQ(seen, documented);
}

TEST(VivoziDf, BindMountInAPrivateNamespace) {
    if (shell("unshare -rm true").status != 0)
        GTEST_SKIP() << "no private mount namespace for this user (unshare -rm failed)";
    vztest::TempDir folder;
    shell("mkdir '" + folder.file("a") + "' '" + folder.file("b") + "'");
    vztest::writeFile(folder.file("a/file"), "x");
    const Ran ran =
        shell("unshare -rm sh -c \"mount --bind '" + folder.file("a") + "' '" + folder.file("b") +
              "' && " + vivozi("df --json '") + folder.file("b/file") + "'\"");
    ASSERT_EQ(ran.status, 0) << ran.err;
    const json volume = json::parse(ran.out)["volumes"][0];
    EXPECT_EQ(volume["mountPoint"], folder.file("b"));
    EXPECT_EQ(volume["path"], folder.file("b/file"));
}

} // namespace
