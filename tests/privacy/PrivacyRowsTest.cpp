#include "privacy/PrivacyRows.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const vz::FdaClientSet kClients{"Vivozi.app", "org.example.Vivozi", "org.example.Vivozi.helper",
                                "org.example.Agent"};

constexpr const char* kService = "kTCCServiceSystemPolicyAllFiles";

std::string row(std::string_view client, std::string_view grant,
                std::string_view service = kService) {
    return std::string(service) + "|" + std::string(client) + "|0|" + std::string(grant) + "|4|\n";
}

std::string allThree(std::string_view grant) {
    return row("/Applications/Vivozi.app", grant) + row("org.example.Vivozi.helper", grant) +
           row("org.example.Agent", grant);
}

TEST(FdaGrantValue, ReadsLikeThePlatformBoolean) {
    const struct {
        const char* field;
        bool granted;
    } cases[] = {
        {"1", true},    {"9", true},    {"0", false},   {"", false},    {"00", false},
        {"007", true},  {"\t+1", true}, {"-3", true},   {"+0", false},  {"yes", true},
        {" 1", true},   {"Y", true},    {"T", true},    {"true", true}, {"n", false},
        {"0x1", false}, {"+-1", false}, {"1abc", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vz::grantValue(c.field), c.granted) << '"' << c.field << '"';
}

// Shapes of listing the real sqlite3 never prints; the grant rules run against it elsewhere.
TEST(FdaRowScan, WhichRowsGrant) {
    const struct {
        const char* what;
        std::string rows;
        bool granted;
    } cases[] = {
        {"all three, no trailing newline", allThree("1").substr(0, allThree("1").size() - 1), true},
        {"suffix match with text in front",
         row("xx/Users/me/Vivozi.app", "1") + row("prefix.org.example.Vivozi.helper", "1") +
             row("zzorg.example.Agent", "1"),
         true},
        {"short rows skipped",
         std::string(kService) + "|/Applications/Vivozi.app|1\n" +
             row("org.example.Vivozi.helper", "1") + row("org.example.Agent", "1"),
         false},
        {"exactly four fields count",
         std::string(kService) + "|/Applications/Vivozi.app|0|1\n" +
             row("org.example.Vivozi.helper", "1") + row("org.example.Agent", "1"),
         true},
        {"client field is not trimmed",
         row("/Applications/Vivozi.app ", "1") + row("org.example.Vivozi.helper", "1") +
             row("org.example.Agent", "1"),
         false},
        {"empty text", "", false},
        {"only newlines", "\n\n\n", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vz::allClientsGranted(c.rows, kClients), c.granted) << c.what;
}

TEST(FdaRowScan, UnusualClientSets) {
    // When the tool's identifier also passes the application test, the application's row sets
    // the application flag and the next such row, finding it set, counts for the tool.
    const vz::FdaClientSet overlapping{"A.app", "org.example.A", "org.example.A", "agent"};
    const std::string rows = row("org.example.A", "1") + row("agent", "1");
    EXPECT_TRUE(vz::allClientsGranted(row("org.example.A", "1") + rows, overlapping));
    EXPECT_FALSE(vz::allClientsGranted(rows, overlapping));

    // An empty configured value matches nothing.
    const vz::FdaClientSet noBundleName{"", "org.example.Vivozi", "org.example.Vivozi.helper",
                                        "org.example.Agent"};
    EXPECT_TRUE(
        vz::allClientsGranted(allThree("1") + row("org.example.Vivozi", "1"), noBundleName));
    EXPECT_FALSE(vz::allClientsGranted(allThree("1"), noBundleName));
}

} // namespace
