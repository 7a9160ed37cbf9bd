// The volume listing of the report and `vivozi df`: its arithmetic and groups, and the program
// against df on this machine, in pipes and on a terminal.
#include "Child.h"

#include <ctime>
#include <gtest/gtest.h>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

namespace {

using nlohmann::json;
using namespace vivozi;
using namespace vztest;

std::string vivozi(const std::string& arguments) {
    return quote(VIVOZI_BINARY) + " " + arguments;
}

TEST(VolumeFormat, UsePercentGroupsAndBars) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const struct {
        std::uint64_t used, available;
        std::optional<unsigned> percent;
    } percents[] = {
        {0, 0, std::nullopt}, {0, 5, 0u}, {1, 2, 34u}, {kMax, 0, 100u}, {kMax, kMax, 50u}};
    for (const auto& c : percents)
        EXPECT_EQ(usePercent(c.used, c.available), c.percent) << c.used << " " << c.available;
    const struct {
        std::string type, source;
        std::uint64_t total;
        VolumeGroup group;
    } groups[] = {{"overlay", "overlay", 1, VolumeGroup::Local},
                  {"ext4", "/dev/disk/by-id/a:b", 1, VolumeGroup::Local},
                  {"ext4", "/dev/sda1", 0, VolumeGroup::Special},
                  {"tmpfs", "tmpfs", 1 << 20, VolumeGroup::Special},
                  {"nfs4", "server:/export", 1, VolumeGroup::Network},
                  {"fuse.unknown", "host:/x", 1, VolumeGroup::Network},
                  {"unknown", "//server/share", 1, VolumeGroup::Network}};
    for (const auto& c : groups)
        EXPECT_EQ(volumeGroup(c.type, c.source, c.total), c.group) << c.type << " " << c.source;
    const struct {
        std::optional<unsigned> percent;
        bool color;
        std::string bar;
    } bars[] = {{0u, true, "[..........]"},
                {42u, false, "[####......]"},
                {42u, true, "[\x1b[32m####\x1b[0m......]"},
                {85u, true, "[\x1b[33m#########\x1b[0m.]"},
                {100u, true, "[\x1b[31m##########\x1b[0m]"},
                {std::nullopt, true, "[          ]"}};
    for (const auto& c : bars)
        EXPECT_EQ(usageBar(c.percent, 10, c.color), c.bar);
}

TEST(VolumeFormat, ColorChoiceAndDatesWithOffset) {
    const struct {
        const char* flag;
        bool terminal;
        const char* noColor;
        bool color;
    } cases[] = {{"auto", true, nullptr, true}, {"auto", true, "", true},
                 {"auto", true, "1", false},    {"auto", false, nullptr, false},
                 {"always", false, "1", true},  {"never", true, nullptr, false}};
    for (const auto& c : cases)
        EXPECT_EQ(colorEnabled(*parseColorMode(c.flag), c.terminal, c.noColor), c.color)
            << c.flag << c.terminal << (c.noColor ? c.noColor : "unset");
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

// The volumes' figures are the library's; here the command's paths, integers, errors and use,
// the last as df counts it (the superuser's reserve left out).
TEST(VivoziDf, PathsAgainstDfWithIntegersAndAnErrorForTheMissingOne) {
    TempDir folder;
    writeFile(folder.file("file"), "x");
    const std::string paths = "/ " + quote(folder.file("file")) + " /proc/self";
    const Finished ran = shell(vivozi("df --json /no/such " + paths));
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.err, "vivozi: /no/such: No such file or directory\n");
    json document = json::parse(ran.out, nullptr, false), seen = json::array();
    ASSERT_TRUE(document.is_object()) << ran.out;
    for (json& v : document["volumes"]) {
        for (const char* key : {"totalBytes", "usedBytes", "availableBytes", "freeBytes"})
            EXPECT_TRUE(v[key].is_number_unsigned()) << key << " " << v[key];
        seen.push_back(v["path"].get<std::string>() + " " +
                       (v["usePercent"].is_null() ? "-" : v["usePercent"].dump() + "%"));
    }
    const std::string df = "LC_ALL=C df --output=file,pcent " + paths + " | tail -n +2 | tr -s ' '";
    EXPECT_EQ(seen, json(lines(shell(df).out)));
    EXPECT_EQ(document["volumes"][2]["group"], "special");
    EXPECT_TRUE(std::regex_match(document.value("generatedAt", ""),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)")));
}

TEST(VivoziDf, ColourAndBarsByFlagTerminalAndNoColor) {
    const struct {
        std::string line;
        bool onTerminal, bar, color;
    } cases[] = {{vivozi("df /"), false, false, false},
                 {vivozi("df --color=always /"), false, true, true},
                 {vivozi("df /"), true, true, true},
                 {"NO_COLOR=1 " + vivozi("df /"), true, true, false},
                 {vivozi("--color=always"), false, true, true}};
    for (const auto& c : cases) {
        // script(1) gives the command a terminal of its own.
        const Finished ran =
            shell(c.onTerminal ? "script -qec " + quote(c.line) + " /dev/null" : c.line);
        EXPECT_EQ(ran.status, 0) << c.line << ran.err;
        EXPECT_EQ(contains(ran.out, "USAGE"), c.bar) << c.line;
        EXPECT_EQ(contains(ran.out, "\x1b["), c.color) << c.line;
    }
    const Finished bad = shell(vivozi("df --color=sometimes /"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(contains(bad.err, "--color: 'sometimes'")) << bad.err;
}

TEST(VivoziDf, FiltersAndGroups) {
    const struct {
        std::string arguments;
        std::vector<std::string> present, absent;
    } cases[] = {{"df", {"\nlocal\n", "  /  "}, {"\nspecial\n", "/proc "}},
                 {"df --all", {"\nlocal\n", "\nspecial\n", "/proc "}, {}},
                 {"df -t proc --type sysfs,proc", {"/proc ", "/sys "}, {"\nlocal\n"}},
                 {"df --all -x proc --exclude-type sysfs", {"\nlocal\n"}, {"/proc ", "/sys "}},
                 {"df --local", {"\nlocal\n"}, {"\nnetwork\n"}},
                 {"", {"Volumes\n    MOUNT POINT", "\n  local\n    /"}, {"special"}}};
    for (const auto& c : cases) {
        const Finished ran = shell(vivozi(c.arguments));
        EXPECT_EQ(ran.status, 0) << c.arguments << ran.err;
        for (const std::string& part : c.present)
            EXPECT_TRUE(contains("\n" + ran.out, part)) << c.arguments << ": " << part;
        for (const std::string& part : c.absent)
            EXPECT_FALSE(contains("\n" + ran.out, part)) << c.arguments << ": " << part;
    }
    const Finished none = shell(vivozi("df -t no-such-type"));
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "vivozi: no file system shows with these options\n");
}

TEST(VivoziDf, JsonKeysAreTheManPagesAndTheOnlyOnes) {
    const std::string page = readFile(VZ_SOURCE_DIR "/man/vivozi.1");
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

// The bind mount, not the file system it shows again, holds a path under it.
TEST(VivoziDf, BindMountInAPrivateNamespace) {
    if (shell("unshare -rm true").status != 0)
        GTEST_SKIP() << "no private mount namespace for this user (unshare -rm failed)";
    TempDir folder;
    std::filesystem::create_directories(folder.file("a"));
    std::filesystem::create_directories(folder.file("b"));
    const Finished ran =
        shell("unshare -rm sh -c " +
              quote("mount --bind " + quote(folder.file("a")) + " " + quote(folder.file("b")) +
                    " && " + vivozi("df --json " + quote(folder.file("b")))));
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(json::parse(ran.out)["volumes"][0]["mountPoint"], folder.file("b"));
}

} // namespace
