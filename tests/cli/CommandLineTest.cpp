// vivozi's command line as a user meets it: errors, help, and answers read back as JSON.
#include "cli/CliTestSupport.h"

#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/statfs.h>

namespace {

using clitest::runVivozi;
using nlohmann::json;

class CommandLine : public ::testing::Test {
protected:
    // The library's answers in this process come from a defaults store of the test's own.
    CommandLine() {
        paths_.edit().userDefaults = home_.file("defaults.plist");
        paths_.apply();
    }

    clitest::Finished vivozi(const std::vector<std::string>& arguments) {
        return runVivozi(arguments, clitest::childEnvironment(home_));
    }
    vztest::TempDir home_;
    vztest::ScopedSystemPaths paths_;
};

TEST_F(CommandLine, BadUsageIsOneLineAndExitTwo) {
    struct Case {
        std::vector<std::string> arguments;
        std::string says; // part of the one line
    };
    const Case cases[] = {
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"run"}, "NAME is required"},
        {{"run", "--demo", "no-such-set"}, "no set named 'no-such-set'"},
        {{"run", "--sets", "/nonexistent/folder", "daily"}, "no folder of sets"},
        {{"run", "--demo", "--sets", "/tmp", "daily"}, "excludes"},
        {{"run", "--demo-dir", "/tmp", "daily"}, "requires --demo"},
        {{"size"}, "BYTES is required"},
        {{"size", "12kB"}, "'12kB' is not a byte count"},
        {{"size", "1", "x"}, "'x' is not a byte count"},
        {{"watch", "--count", "0"}, "--count: '0' is not a whole number above 0"},
        {{"watch", "--count", "many"}, "--count: 'many' is not a whole number above 0"},
        {{"watch", "--count", "-1"}, "--count"},
        {{"compare"}, "VERSION is required"},
        {{"compare", "1", "2"}, "not expected"},
        {{"mount-of"}, "DEVICE is required"},
        {{"device-of"}, "MOUNTPOINT is required"},
        {{"apfs"}, "NAME is required"},
        {{"report", "extra"}, "not expected"},
    };
    for (const Case& c : cases) {
        const auto result = vivozi(c.arguments);
        const std::string shown = c.arguments.front() + " ...";
        EXPECT_EQ(result.status, 2) << shown;
        EXPECT_EQ(result.out, "") << shown;
        ASSERT_EQ(clitest::lines(result.err).size(), 1u) << shown << ": " << result.err;
        EXPECT_EQ(result.err.rfind("vivozi: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
    }
}

TEST_F(CommandLine, HelpForEveryCommand) {
    const std::vector<std::vector<std::string>> commands = {
        {},          {"report"},   {"run"},       {"watch"}, {"size"},
        {"compare"}, {"mount-of"}, {"device-of"}, {"apfs"},  {"tmutil"}};
    for (std::vector<std::string> arguments : commands) {
        const std::string shown = arguments.empty() ? "vivozi" : arguments.front();
        arguments.push_back("--help");
        const auto result = vivozi(arguments);
        EXPECT_EQ(result.status, 0) << shown;
        EXPECT_NE(result.out.find("Usage:"), std::string::npos) << shown;
        EXPECT_NE(result.out.find("--json"), std::string::npos) << shown;
        EXPECT_EQ(result.err, "") << shown;
    }
    // The top-level help names every command.
    const std::string help = vivozi({"--help"}).out;
    for (const char* command :
         {"report", "run", "watch", "size", "compare", "mount-of", "device-of", "apfs", "tmutil"})
        EXPECT_NE(help.find(std::string("\n  ") + command + " "), std::string::npos) << command;
}

TEST_F(CommandLine, VersionNamesProgramAndLibrary) {
    const auto result = vivozi({"--version"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "vivozi 1.0.0\nlibrary VivoziZevidodirid 1.0 (PROGRAM:VivoziZevidodirid  "
                          "PROJECT:Lumivane-1)\n");
}

TEST_F(CommandLine, ReportAsJsonMatchesTheLibrary) {
    const auto result = vivozi({"--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const json report = json::parse(result.out);
    EXPECT_EQ(report["version"], *KXGetCurrentSystemString());
    EXPECT_EQ(report["versionDictionary"]["ProductVersion"], *KXGetCurrentSystemString());
    EXPECT_EQ(report["fullDiskAccess"], isFullDiskAccessSetup());

    // The root file system is listed with statfs's figures.
    struct statfs root {};
    ASSERT_EQ(statfs("/", &root), 0);
    const double blockSize = static_cast<double>(root.f_bsize);
    const json* rootVolume = nullptr;
    for (const json& volume : report["volumes"]) {
        EXPECT_GT(volume["totalBytes"].get<double>(), 0.0) << volume["mountPoint"];
        EXPECT_EQ(volume["total"],
                  KXFoundationConvertBytesToStringValue(volume["totalBytes"].get<double>()));
        if (volume["mountPoint"] == "/")
            rootVolume = &volume;
    }
    ASSERT_NE(rootVolume, nullptr) << result.out;
    EXPECT_EQ((*rootVolume)["device"], *getVolumeMountFromName("/"));
    EXPECT_EQ((*rootVolume)["totalBytes"].get<double>(),
              static_cast<double>(root.f_blocks) * blockSize);
    EXPECT_EQ((*rootVolume)["apfs"], false);
    EXPECT_TRUE((*rootVolume)["containerUsedBytes"].is_null());

    // --all adds the file systems without capacity, and only those.
    const json all = json::parse(vivozi({"report", "--all", "--json"}).out);
    EXPECT_GT(all["volumes"].size(), report["volumes"].size());
    for (const json& volume : all["volumes"])
        if (volume["totalBytes"].get<double>() > 0.0) {
            EXPECT_NE(result.out.find("\"mountPoint\": " + volume["mountPoint"].dump()),
                      std::string::npos)
                << volume["mountPoint"];
        }
}

TEST_F(CommandLine, ReportAsText) {
    const auto result = vivozi({});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto text = clitest::lines(result.out);
    ASSERT_GE(text.size(), 6u);
    EXPECT_EQ(text[0], "System");
    EXPECT_EQ(text[1], "  Version         " + *KXGetCurrentSystemString());
    bool header = false;
    for (const std::string& line : text) {
        header = header || line.rfind("  MOUNT POINT", 0) == 0;
        if (line.rfind("  / ", 0) == 0) {
            EXPECT_NE(line.find(*getVolumeMountFromName("/")), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(header) << result.out;
    EXPECT_EQ(text.back(),
              std::string("Full Disk Access  ") + (isFullDiskAccessSetup() ? "yes" : "no"));
}

TEST_F(CommandLine, QueriesAsJson) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        json expected;
    };
    const std::string rootDevice = *getVolumeMountFromName("/");
    const Case cases[] = {
        {{"size", "--json", "1536", "0"},
         0,
         json::parse(R"([{"argument":"1536","bytes":1536.0,"text":"1.54 KB"},
                         {"argument":"0","bytes":0.0,"text":"0 bytes"}])")},
        {{"size", "--mb", "--json", "3200000"},
         0,
         json::parse(R"([{"argument":"3200000","bytes":3145728.0,"text":"3M"}])")},
        {{"device-of", "--json", "/"}, 0, {{"mountPoint", "/"}, {"device", rootDevice}}},
        {{"device-of", "--json", "/no/such/mount"},
         1,
         {{"mountPoint", "/no/such/mount"}, {"device", nullptr}}},
        {{"mount-of", "--json", "no-such-device-here"},
         1,
         {{"device", "no-such-device-here"}, {"mountPoint", nullptr}}},
        {{"tmutil", "--json", "destinationinfo", "-X"},
         1,
         {{"arguments", {"destinationinfo", "-X"}}, {"result", nullptr}}},
        {{"apfs", "--json", "disk1"},
         1,
         {{"name", "disk1"},
          {"container", nullptr},
          {"systemVolume", nullptr},
          {"dataVolume", nullptr},
          {"prebootVolume", nullptr},
          {"recoveryVolume", nullptr},
          {"role", "None"},
          {"roleCode", 6}}},
    };
    for (const Case& c : cases) {
        const auto result = vivozi(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments.front() << ": " << result.err;
        EXPECT_EQ(json::parse(result.out), c.expected) << c.arguments.front();
    }
}

TEST_F(CommandLine, CompareFollowsTheLibrary) {
    const std::string running = *KXGetCurrentSystemString();
    for (const std::string& version : {std::string("1"), running, std::string("999999")}) {
        const auto result = vivozi({"compare", "--json", version});
        ASSERT_EQ(result.status, 0) << result.err;
        const json answer = json::parse(result.out);
        const std::int64_t order = KXCompareCurrentSystemVersionWith(version);
        EXPECT_EQ(answer["order"], order) << version;
        EXPECT_EQ(answer["relation"], order < 0 ? "older" : order > 0 ? "newer" : "same");
        EXPECT_EQ(answer["running"], running);
    }
    EXPECT_EQ(vivozi({"compare", "999999"}).out, "running " + running + " is older than 999999\n");
}

TEST_F(CommandLine, TextAnswersAndTheirMisses) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string out;
        std::string err;
    };
    const std::string rootDevice = *getVolumeMountFromName("/");
    const Case cases[] = {
        {{"size", "1536"}, 0, "1.54 KB\n", ""},
        {{"size", "1536", "2e9"}, 0, "BYTES     SIZE\n 1536  1.54 KB\n  2e9     2 GB\n", ""},
        {{"device-of", "/"}, 0, rootDevice + "\n", ""},
        {{"device-of", "/no/such"}, 1, "", "vivozi: nothing is mounted at /no/such\n"},
        {{"mount-of", "no-such-device-here"},
         1,
         "",
         "vivozi: no-such-device-here is not mounted\n"},
        {{"apfs", "disk1"}, 1, "", "vivozi: no APFS container or volume named disk1\n"},
    };
    for (const Case& c : cases) {
        const auto result = vivozi(c.arguments);
        EXPECT_EQ(result.status, c.status) << c.arguments.front();
        EXPECT_EQ(result.out, c.out) << c.arguments.front();
        EXPECT_EQ(result.err, c.err) << c.arguments.front();
    }
}

} // namespace
