#include "stress/support/FakeSystem.h"

#include "platform/defaults/UserDefaults.h"
#include "privacy/PrivacyRows.h"

#include <VivoziZevidodirid/Privacy.h>
#include <VivoziZevidodirid/Tools.h>
#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <sys/statvfs.h>

namespace vztest {
namespace {

constexpr char kMountTable[] = "/dev/vda / ext4 rw,relatime 0 0\n"
                               "proc /proc proc rw,nosuid 0 0\n"
                               "/dev/disk1s5 /Volumes/System apfs ro 0 0\n"
                               "/dev/disk1s1 /Volumes/Data apfs rw 0 0\n"
                               "/dev/disk1s2 /System/Volumes/Preboot apfs rw 0 0\n";

constexpr double kCeiling = 500'000'000'000.0;
constexpr double kFree = 200'000'000'000.0;

PlistValue volume(const char* identifier, const char* role) {
    return PlistValue::Dictionary{{"DeviceIdentifier", identifier},
                                  {"Roles", PlistValue::Array{role}}};
}

template <typename T> std::string describe(const T& value) {
    if constexpr (std::is_same_v<T, PlistValue>)
        return value.description();
    else
        return ::testing::PrintToString(value);
}

// "" when got equals want, else both.
template <typename T, typename U> std::string expect(const T& got, const U& want) {
    if (got == want)
        return {};
    return "got " + describe(got) + ", want " + describe(T(want));
}

template <typename T, typename U, typename V>
std::string expectOr(const T& got, const U& want, const V& neutral) {
    return neutralAnswersPass && got == neutral ? std::string() : expect(got, want);
}

std::string listingXml() {
    const PlistValue container = PlistValue::Dictionary{
        {"ContainerReference", "disk1"},
        {"DesignatedPhysicalStore", "disk0s2"},
        {"PhysicalStores",
         PlistValue::Array{PlistValue::Dictionary{{"DeviceIdentifier", "disk0s2"}}}},
        {"CapacityCeiling", static_cast<std::int64_t>(kCeiling)},
        {"CapacityFree", static_cast<std::int64_t>(kFree)},
        {"Volumes", PlistValue::Array{volume("disk1s5", "System"), volume("disk1s1", "Data"),
                                      volume("disk1s2", "Preboot"), volume("disk1s3", "Recovery")}},
    };
    return PlistValue(PlistValue::Dictionary{{"Containers", PlistValue::Array{container}}}).xml();
}

} // namespace

FakeSystem::FakeSystem() {
    writeFile(file("mounts"), kMountTable);
    writeFile(file("listing.plist"), listingXml());
    const vz::FdaClientSet clients = vz::configuredFdaClientSet();
    std::string rows;
    for (const std::string_view client :
         {clients.bundleIdentifier, clients.toolIdentifier, clients.agentIdentifier})
        rows += "kTCCServiceSystemPolicyAllFiles|" + std::string(client) + "|0|2|4|1|\n";
    writeFile(file("rows"), rows);

    // Tools run with an empty environment: programs by their full paths.
    setTool("diskutil", "exec /bin/cat '" + file("listing.plist") + "'\n");
    setTool("tmutil", "printf '<plist version=\"1.0\"><array>'\n"
                      "for a in \"$@\"; do printf '<string>%s</string>' \"$a\"; done\n"
                      "printf '</array></plist>\\n'\n");
    setTool("sqlite3", "exec /bin/cat '" + file("rows") + "'\n");
    setTool("periodic", "exit 0\n");

    kx::SystemPaths& paths = paths_.edit();
    paths.mountTable = file("mounts");
    paths.diskutil = file("diskutil");
    paths.tmutil = file("tmutil");
    paths.sqlite3 = file("sqlite3");
    paths.periodic = file("periodic");
    paths.temporaryDirectory = folder();
    paths_.apply();

    struct statvfs info {};
    if (statvfs(folder().c_str(), &info) != 0)
        throw std::runtime_error("cannot statvfs " + folder());
    volumeTotal_ = static_cast<double>(info.f_frsize) * static_cast<double>(info.f_blocks);
}

void FakeSystem::setTool(std::string_view name, std::string_view body) {
    writeScript(name == "sw_vers" ? version_.swVersPath() : file(name), body);
}

void emptyVersionCache() {
    kx::UserDefaults& store = kx::UserDefaults::standard();
    store.removeObjectForKey("KXCurrentSWVers");
    store.removeObjectForKey("KXCurrentSWVersDict");
}

std::vector<Query> everyQuery(const FakeSystem& system) {
    const std::string volume = system.folder();
    const double total = system.volumeTotal();
    const PlistValue dictionary = PlistValue::Dictionary{
        {"BuildVersion", "0T0"}, {"ProductName", "Vivozi Test"}, {"ProductVersion", "13.5"}};
    auto within = [total](double got) -> std::string {
        if (got >= 0 && got <= total)
            return {};
        return "got " + std::to_string(got) + ", outside [0, " + std::to_string(total) + "]";
    };
    return {
        {"KXGetCurrentSystemString",
         [](int) { return expect(KXGetCurrentSystemString(), "13.5"); }},
        {"KXGetCurrentSystemDictionary",
         [dictionary](int) { return expect(KXGetCurrentSystemDictionary(), dictionary); }},
        {"KXCompareCurrentSystemVersionWith",
         [](int) {
             return expect(KXCompareCurrentSystemVersionWith("10.13") * 100 +
                               KXCompareCurrentSystemVersionWith("macOS 13.05") * 10 +
                               KXCompareCurrentSystemVersionWith("14"),
                           std::int64_t{100 + 0 - 1});
         }},
        {"getVolumeMountFromName",
         [](int) { return expectOr(getVolumeMountFromName("/Volumes/Data"), "/dev/disk1s1", ""); }},
        {"getVolumeMountOnName",
         [](int) { return expectOr(getVolumeMountOnName("disk1s5"), "/Volumes/System", ""); }},
        {"GetVolumeAPFS",
         [volume](int) {
             return expectOr(GetVolumeAPFS("/elsewhere/Data"), true, false) +
                    expect(GetVolumeAPFS(volume), false);
         }},
        {"getAPFSContainer",
         [](int) {
             return expectOr(getAPFSContainer("/dev/disk1")["CapacityFree"].doubleValue(), kFree,
                             0.0);
         }},
        {"getAPFSSystemVolume",
         [](int) { return expectOr(getAPFSSystemVolume("disk1"), "disk1s5", std::nullopt); }},
        {"getAPFSDataVolume",
         [](int) { return expectOr(getAPFSDataVolume("/dev/disk1"), "disk1s1", std::nullopt); }},
        {"getAPFSPrebootVolume",
         [](int) { return expectOr(getAPFSPrebootVolume("disk1s2"), "disk1s2", std::nullopt); }},
        {"getAPFSRecoveryVolume",
         [](int) { return expectOr(getAPFSRecoveryVolume("disk1"), "disk1s3", std::nullopt); }},
        {"getAPFSVolumeRole",
         [](int) {
             return expectOr(static_cast<int>(getAPFSVolumeRole("disk1s3")),
                             static_cast<int>(APFSVolumeRoleRecovery),
                             static_cast<int>(APFSVolumeRoleNone));
         }},
        {"KXFoundationGetVolTotalSize",
         [volume, total](int) { return expect(KXFoundationGetVolTotalSize(volume), total); }},
        {"KXFoundationGetVolFreeSize",
         [volume, within](int) { return within(KXFoundationGetVolFreeSize(volume)); }},
        {"KXFoundationGetVolUsedSize",
         [volume, within](int) { return within(KXFoundationGetVolUsedSize(volume)); }},
        {"KXFoundationGetAPFSVolUsedSize",
         [](int) {
             return expectOr(KXFoundationGetAPFSVolUsedSize("/Volumes/Data"), kCeiling - kFree,
                             0.0);
         }},
        {"KXFoundationGetVolTotalSizeString",
         [volume, total](int) {
             return expect(KXFoundationGetVolTotalSizeString(volume),
                           KXFoundationConvertBytesToStringValue(total));
         }},
        {"KXFoundationGetVolUsedSizeString",
         [volume](int) {
             const std::string text = KXFoundationGetVolUsedSizeString(volume);
             return text.ends_with("B") || text.ends_with(" bytes") ? std::string()
                                                                    : "got \"" + text + "\"";
         }},
        {"KXFoundationConvertBytesToStringValue",
         [](int) { return expect(KXFoundationConvertBytesToStringValue(1536.0), "1.54 KB"); }},
        {"KXFoundationRoundByteCountToMBAndString",
         [](int) {
             double bytes = 1'500'000;
             const std::string text = KXFoundationRoundByteCountToMBAndString(&bytes);
             return expect(text, "1M") + expect(bytes, 1048576.0);
         }},
        {"isFullDiskAccessSetup",
         [](int) { return expectOr(isFullDiskAccessSetup(), true, false); }},
        {"tmutil",
         [](int caller) {
             const std::vector<std::string> arguments = {"caller", std::to_string(caller)};
             return expectOr(tmutil(arguments), PlistValue::Array{"caller", std::to_string(caller)},
                             PlistValue());
         }},
        {"KXDeepMutableCopyPropertyListObject",
         [dictionary](int) {
             PlistValue copy = KXDeepMutableCopyPropertyListObject(dictionary);
             copy.setValueForKey("ProductName", "changed");
             return expect(dictionary["ProductName"].isEqualToString("Vivozi Test"), true);
         }},
    };
}

} // namespace vztest
