// vivozi's command line as a user meets it: errors, help, and answers as text and as JSON.
#include "cli/CliTestSupport.h"

#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <algorithm>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/statfs.h>

namespace {

using nlohmann::json;

class CommandLine : public ::testing::Test {
protected:
    // The library's answers in this process come from a defaults store of the test's own.
    CommandLine() {
        paths_.edit().userDefaults = home_.file("defaults.plist");
        paths_.apply();
    }

    clitest::Finished vivozi(const std::vector<std::string>& arguments) {
        return clitest::runVivozi(arguments, clitest::childEnvironment(home_));
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
        {{"size", "1", "x"}, "'x' is not a byte count"},
        {{"watch", "--count", "0"}, "--count: '0' is not a whole number above 0"},
        {{"compare"}, "VERSION is required"},
        {{"mount-of"}, "DEVICE is required"},
        {{"report", "extra"}, "not expected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front() + " ...");
        const auto result = vivozi(c.arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        ASSERT_EQ(vztest::lines(result.err).size(), 1u) << result.err;
        EXPECT_EQ(result.err.rfind("vivozi: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
    }
}

TEST_F(CommandLine, HelpForEveryCommandAndVersion) {
    const std::vector<std::string> commands = {"report",   "run",       "watch", "size",  "compare",
                                               "mount-of", "device-of", "apfs",  "tmutil"};
    const auto help = vivozi({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage:"), std::string::npos);
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        EXPECT_NE(help.out.find("\n  " + command + " "), std::string::npos);
        const auto result = vivozi({command, "--help"});
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.out.find("Usage:"), std::string::npos);
        EXPECT_NE(result.out.find("--json"), std::string::npos);
        EXPECT_EQ(result.err, "");
    }
    const auto version = vivozi({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out,
              "vivozi 1.0.0\nlibrary VivoziZevidodirid 1.0 (PROGRAM:VivoziZevidodirid  "
              "PROJECT:Lumivane-1)\n");
}

TEST_F(CommandLine, ReportAsJsonMatchesTheLibrary) {
    const auto result = vivozi({"--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const json report = json::parse(result.out);
    EXPECT_EQ(report["version"], *KXGetCurrentSystemString());
    EXPECT_EQ(report["versionDictionary"]["ProductVersion"], *KXGetCurrentSystemString());
    EXPECT_EQ(report["fullDiskAccess"], isFullDiskAccessSetup());

    struct statfs root {};
    ASSERT_EQ(statfs("/", &root), 0);
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
              static_cast<double>(root.f_blocks) * static_cast<double>(root.f_bsize));
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
    const auto text = vztest::lines(result.out);
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

TEST_F(CommandLine, QueriesAndTheirMisses) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string out; // compared as JSON when the command was given --json
        std::string err;
    };
    const std::string root = *getVolumeMountFromName("/");
    const Case cases[] = {
        {{"size", "1536"}, 0, "1.54 KB\n", ""},
        {{"size", "1536", "2e9"}, 0, "BYTES     SIZE\n 1536  1.54 KB\n  2e9     2 GB\n", ""},
        {{"size", "--json", "1536", "0"},
         0,
         R"([{"argument":"1536","bytes":1536.0,"text":"1.54 KB"},
             {"argument":"0","bytes":0.0,"text":"0 bytes"}])",
         ""},
        {{"size", "--mb", "--json", "3200000"},
         0,
         R"([{"argument":"3200000","bytes":3145728.0,"text":"3M"}])",
         ""},
        {{"device-of", "/"}, 0, root + "\n", ""},
        {{"device-of", "--json", "/"}, 0, json{{"mountPoint", "/"}, {"device", root}}.dump(), ""},
        {{"device-of", "--json", "/no/such"},
         1,
         R"({"mountPoint": "/no/such", "device": null})",
         "vivozi: nothing is mounted at /no/such\n"},
        {{"mount-of", "no-such-disk"}, 1, "", "vivozi: no-such-disk is not mounted\n"},
        {{"mount-of", "--json", "no-such-device-here"},
         1,
         R"({"device": "no-such-device-here", "mountPoint": null})",
         "vivozi: no-such-device-here is not mounted\n"},
        {{"tmutil", "--json", "destinationinfo", "-X"},
         1,
         R"({"arguments": ["destinationinfo", "-X"], "result": null})",
         "vivozi: no answer from /usr/bin/tmutil\n"},
        {{"apfs", "--json", "disk1"},
         1,
         R"({"name": "disk1", "container": null, "systemVolume": null, "dataVolume": null,
             "prebootVolume": null, "recoveryVolume": null, "role": "None", "roleCode": 6})",
         "vivozi: no APFS container or volume named disk1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.front() + " " + c.arguments[1]);
        const auto result = vivozi(c.arguments);
        EXPECT_EQ(result.status, c.status);
        if (std::ranges::find(c.arguments, "--json") != c.arguments.end()) {
            EXPECT_EQ(json::parse(result.out), json::parse(c.out));
        } else {
            EXPECT_EQ(result.out, c.out);
        }
        EXPECT_EQ(result.err, c.err);
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

} // namespace
