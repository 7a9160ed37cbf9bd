#include "stress/support/FakeSystem.h"

#include "privacy/PrivacyRows.h"

#include <VivoziZevidodirid/Privacy.h>
#include <VivoziZevidodirid/Tools.h>
#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>

static void PrintTo(const PlistValue& value, std::ostream* out) {
    *out << value.description();
}

namespace vztest {
namespace {

thread_local bool neutralAnswersPass = false;

constexpr double kCeiling = 500'000'000'000.0, kFree = 200'000'000'000.0;

// "" when got equals want (or, in a neutralAnswersPass, the neutral answer), else both.
template <typename T, typename U, typename V = T>
std::string expect(const T& got, const U& want, const std::optional<V>& neutral = {}) {
    if (got == want || (neutralAnswersPass && neutral && got == *neutral))
        return {};
    return "got " + ::testing::PrintToString(got) + ", want " + ::testing::PrintToString(T(want));
}

std::string listingXml() {
    using D = PlistValue::Dictionary;
    using A = PlistValue::Array;
    A volumes;
    for (const auto& [identifier, role] : {std::pair{"disk1s5", "System"},
                                           {"disk1s1", "Data"},
                                           {"disk1s2", "Preboot"},
                                           {"disk1s3", "Recovery"}})
        volumes.push_back(D{{"DeviceIdentifier", identifier}, {"Roles", A{role}}});
    return PlistValue(
               D{{"Containers", A{D{{"ContainerReference", "disk1"},
                                    {"DesignatedPhysicalStore", "disk0s2"},
                                    {"PhysicalStores", A{D{{"DeviceIdentifier", "disk0s2"}}}},
                                    {"CapacityCeiling", static_cast<std::int64_t>(kCeiling)},
                                    {"CapacityFree", static_cast<std::int64_t>(kFree)},
                                    {"Volumes", volumes}}}}})
        .xml();
}

} // namespace

FakeSystem::FakeSystem() {
    writeFile(file("mounts"), "/dev/vda / ext4 rw,relatime 0 0\nproc /proc proc rw,nosuid 0 0\n"
                              "/dev/disk1s5 /Volumes/System apfs ro 0 0\n"
                              "/dev/disk1s1 /Volumes/Data apfs rw 0 0\n"
                              "/dev/disk1s2 /System/Volumes/Preboot apfs rw 0 0\n");
    writeFile(file("listing.plist"), listingXml());
    const vz::FdaClientSet clients = vz::configuredFdaClientSet();
    std::string rows;
    for (const std::string_view client :
         {clients.bundleIdentifier, clients.toolIdentifier, clients.agentIdentifier})
        rows += "'kTCCServiceSystemPolicyAllFiles','" + std::string(client) + "',0,2,4,1,NULL\n";
    writeFile(file("rows"), rows);
    writeFile(file("TCC.db"), "");

    // Tools run with an empty environment: programs by their full paths.
    setTool("diskutil", "exec /bin/cat '" + file("listing.plist") + "'\n");
    setTool("tmutil", "printf '<plist version=\"1.0\"><array>'\n"
                      "for a in \"$@\"; do printf '<string>%s</string>' \"$a\"; done\n"
                      "printf '</array></plist>\\n'\n");
    setTool("sqlite3", "exec /bin/cat '" + file("rows") + "'\n");
    paths_.set(&kx::SystemPaths::mountTable, file("mounts"))
        .set(&kx::SystemPaths::diskutil, file("diskutil"))
        .set(&kx::SystemPaths::tmutil, file("tmutil"))
        .set(&kx::SystemPaths::sqlite3, file("sqlite3"))
        .set(&kx::SystemPaths::privacyDatabase, file("TCC.db"))
        .set(&kx::SystemPaths::temporaryDirectory, folder());
}

// Each query's check: "" when right, else what was wrong.
#define Q(query, ...)                                                                              \
    {                                                                                              \
#query, [=]([[maybe_unused]] int caller) { return __VA_ARGS__; }                           \
    }

std::vector<Query> everyQuery(const FakeSystem& system) {
    const std::string volume = system.folder();
    struct statvfs info {};
    statvfs(volume.c_str(), &info);
    const double total = static_cast<double>(info.f_frsize) * static_cast<double>(info.f_blocks);
    const PlistValue dictionary = PlistValue::Dictionary{
        {"BuildVersion", "0T0"}, {"ProductName", "macOS"}, {"ProductVersion", "13.5"}};
    const auto within = [total](double got) {
        return got >= 0 && got <= total ? std::string() : "got " + std::to_string(got);
    };
    const auto usedText = [](const std::string& text) {
        return text.ends_with("B") || text.ends_with(" bytes") ? "" : "got \"" + text + "\"";
    };
    const std::string devices[] = {"disk1s1", "disk1s5"},
                      mountPoints[] = {"/Volumes/Data", "/Volumes/System"};
    const auto none = std::make_optional(std::optional<std::string>()); // the finders' neutral
    return {
        Q(KXGetCurrentSystemString, expect(KXGetCurrentSystemString(), "13.5")),
        Q(KXGetCurrentSystemDictionary, expect(KXGetCurrentSystemDictionary(), dictionary)),
        Q(KXCompareCurrentSystemVersionWith, expect(KXCompareCurrentSystemVersionWith("10.13"), 1)),
        // Each caller its own entry: a mount table read shared between threads would mix them.
        Q(getVolumeMountFromName, expect(getVolumeMountFromName(mountPoints[caller % 2]),
                                         "/dev/" + devices[caller % 2], std::optional(""))),
        Q(getVolumeMountOnName, expect(getVolumeMountOnName(devices[caller % 2]),
                                       mountPoints[caller % 2], std::optional(""))),
        Q(GetVolumeAPFS, expect(GetVolumeAPFS("/elsewhere/Data"), true, std::optional(false))),
        Q(getAPFSContainer, expect(getAPFSContainer("/dev/disk1")["CapacityFree"].doubleValue(),
                                   kFree, std::optional(0.0))),
        Q(getAPFSSystemVolume, expect(getAPFSSystemVolume("disk1"), "disk1s5", none)),
        Q(getAPFSDataVolume, expect(getAPFSDataVolume("/dev/disk1"), "disk1s1", none)),
        Q(getAPFSPrebootVolume, expect(getAPFSPrebootVolume("disk1s2"), "disk1s2", none)),
        Q(getAPFSRecoveryVolume, expect(getAPFSRecoveryVolume("disk1"), "disk1s3", none)),
        Q(getAPFSVolumeRole, expect(getAPFSVolumeRole("disk1s3"), APFSVolumeRoleRecovery,
                                    std::optional(APFSVolumeRoleNone))),
        Q(KXFoundationGetVolTotalSize, expect(KXFoundationGetVolTotalSize(volume), total)),
        Q(KXFoundationGetVolFreeSize, within(KXFoundationGetVolFreeSize(volume))),
        Q(KXFoundationGetVolUsedSize, within(KXFoundationGetVolUsedSize(volume))),
        Q(KXFoundationGetAPFSVolUsedSize, expect(KXFoundationGetAPFSVolUsedSize("/Volumes/Data"),
                                                 kCeiling - kFree, std::optional(0.0))),
        Q(KXFoundationGetVolTotalSizeString, expect(KXFoundationGetVolTotalSizeString(volume),
                                                    KXFoundationConvertBytesToStringValue(total))),
        Q(KXFoundationGetVolUsedSizeString, usedText(KXFoundationGetVolUsedSizeString(volume))),
        Q(KXFoundationConvertBytesToStringValue,
          expect(KXFoundationConvertBytesToStringValue(caller % 2 ? 1536.0 : 1000.0),
                 caller % 2 ? "1.54 KB" : "1000 bytes")),
        Q(isFullDiskAccessSetup, expect(isFullDiskAccessSetup(), true, std::optional(false))),
        Q(tmutil,
          expect(tmutil(std::vector<std::string>{"caller", std::to_string(caller)}),
                 PlistValue::Array{"caller", std::to_string(caller)}, std::optional(PlistValue()))),
    };
}

Wrong wrongAnswers(const std::vector<Query>& queries, int caller, bool neutral) {
    neutralAnswersPass = neutral;
    Wrong wrong;
    for (const Query& query : queries)
        if (std::string answer = query.run(caller); !answer.empty())
            wrong.emplace(query.name, std::move(answer));
    neutralAnswersPass = false;
    return wrong;
}

} // namespace vztest
