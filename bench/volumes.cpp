// Volume queries, each beside the bare code it has to keep up with: a getmntent_r walk of the
// same table, a divide loop with snprintf, and a bare run of the same disk tool.
#include "tools/ToolRunner.h"
#include "volumes/ApfsListing.h"
#include "volumes/SizeText.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
#include <array>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mntent.h>
#include <string>
#include <sys/stat.h>

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
}

std::string generatedTable(int entries) {
    std::string table;
    for (int i = 0; i < entries; ++i)
        table += "/dev/sd" + std::to_string(i) + " /mnt/volume" + std::to_string(i) +
                 " ext4 rw,relatime,errors=remount-ro 0 0\n";
    return table;
}

// A listing shaped like a Mac's: two containers with the keys a real one carries.
std::string macListing() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                      "\"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n\t<key>Containers</key>\n\t<array>\n";
    const char* roles[] = {"System", "Preboot",  "Recovery", "VM",  "Update",
                           "xART",   "Hardware", "Backup",   "Data"};
    for (int c = 1; c <= 2; ++c) {
        const std::string reference = "disk" + std::to_string(c);
        xml += "\t\t<dict>\n\t\t\t<key>APFSContainerUUID</key>\n\t\t\t<string>"
               "6A1C2C5E-0E4D-4F37-9A3B-0F3C1E2D4B5A</string>\n"
               "\t\t\t<key>CapacityCeiling</key>\n\t\t\t<integer>499963174912</integer>\n"
               "\t\t\t<key>CapacityFree</key>\n\t\t\t<integer>251354112000</integer>\n"
               "\t\t\t<key>ContainerReference</key>\n\t\t\t<string>" +
               reference +
               "</string>\n\t\t\t<key>DesignatedPhysicalStore</key>\n\t\t\t<string>disk0s" +
               std::to_string(c + 1) +
               "</string>\n\t\t\t<key>Fusion</key>\n\t\t\t<false/>\n"
               "\t\t\t<key>PhysicalStores</key>\n\t\t\t<array>\n\t\t\t\t<dict>\n"
               "\t\t\t\t\t<key>DeviceIdentifier</key>\n\t\t\t\t\t<string>disk0s" +
               std::to_string(c + 1) +
               "</string>\n\t\t\t\t\t<key>DiskUUID</key>\n\t\t\t\t\t<string>"
               "1B2C3D4E-5F60-4172-8394-A5B6C7D8E9F0</string>\n"
               "\t\t\t\t\t<key>Size</key>\n\t\t\t\t\t<integer>499963174912</integer>\n"
               "\t\t\t\t</dict>\n\t\t\t</array>\n\t\t\t<key>Volumes</key>\n\t\t\t<array>\n";
        int slice = 1;
        for (const char* role : roles) {
            xml += "\t\t\t\t<dict>\n\t\t\t\t\t<key>APFSVolumeUUID</key>\n\t\t\t\t\t<string>"
                   "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9</string>\n"
                   "\t\t\t\t\t<key>CapacityInUse</key>\n\t\t\t\t\t<integer>15518277632</integer>\n"
                   "\t\t\t\t\t<key>CapacityQuota</key>\n\t\t\t\t\t<integer>0</integer>\n"
                   "\t\t\t\t\t<key>CapacityReserve</key>\n\t\t\t\t\t<integer>0</integer>\n"
                   "\t\t\t\t\t<key>CryptoMigrationOn</key>\n\t\t\t\t\t<false/>\n"
                   "\t\t\t\t\t<key>DeviceIdentifier</key>\n\t\t\t\t\t<string>" +
                   reference + "s" + std::to_string(slice++) +
                   "</string>\n\t\t\t\t\t<key>Encryption</key>\n\t\t\t\t\t<true/>\n"
                   "\t\t\t\t\t<key>FileVault</key>\n\t\t\t\t\t<false/>\n"
                   "\t\t\t\t\t<key>Locked</key>\n\t\t\t\t\t<false/>\n"
                   "\t\t\t\t\t<key>Name</key>\n\t\t\t\t\t<string>Macintosh HD - " +
                   role + "</string>\n\t\t\t\t\t<key>Roles</key>\n\t\t\t\t\t<array>\n" +
                   "\t\t\t\t\t\t<string>" + role + "</string>\n\t\t\t\t\t</array>\n" +
                   "\t\t\t\t</dict>\n";
        }
        xml += "\t\t\t</array>\n\t\t</dict>\n";
    }
    xml += "\t</array>\n</dict>\n</plist>\n";
    return xml;
}

// Everything the benchmarks point the library at: tables, a fake disk tool, a version cache.
struct Fixture {
    std::string folder;
    std::string bigTable;
    std::string diskTool;

    Fixture() {
        char pattern[] = "/tmp/vz-bench-volumes.XXXXXX";
        folder = mkdtemp(pattern);
        bigTable = folder + "/mounts-10000";
        writeFile(bigTable, generatedTable(10000));
        writeFile(folder + "/listing.plist", macListing());
        diskTool = folder + "/diskutil";
        writeFile(diskTool, "#!/bin/sh\nexec /bin/cat '" + folder + "/listing.plist'\n");
        chmod(diskTool.c_str(), 0755);
        const std::string swVers = folder + "/sw_vers";
        writeFile(swVers, "#!/bin/sh\nif [ \"$1\" = -productVersion ]; then echo 13.5; else printf "
                          "'ProductName:\\tmacOS\\nProductVersion:\\t13.5\\n'; fi\n");
        chmod(swVers.c_str(), 0755);

        kx::SystemPaths paths = kx::systemPaths();
        paths.diskutil = diskTool;
        paths.swVers = swVers;
        paths.userDefaults = folder + "/defaults.plist";
        kx::setSystemPaths(paths);
        // Fills the version cache: the gates read the product name, the comparison the version.
        KXGetCurrentSystemDictionary();
        KXCompareCurrentSystemVersionWith("10.6");
    }
    ~Fixture() { std::filesystem::remove_all(folder); }
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

void useTable(const std::string& path) {
    kx::SystemPaths paths = kx::systemPaths();
    paths.mountTable = path;
    kx::setSystemPaths(paths);
}

const std::string& tableFor(std::int64_t which) {
    static const std::string machine = "/proc/self/mounts";
    return which == 0 ? machine : fixture().bigTable;
}

// A mount point no entry has: both walks read the whole table.
constexpr const char* kMissing = "/Volumes/Missing";

// The bare walk: what a caller would write by hand with glibc.
std::string bareLookup(const std::string& table, const char* mountPoint) {
    FILE* stream = setmntent(table.c_str(), "r");
    if (!stream)
        return {};
    mntent entry{};
    static thread_local char line[64 * 1024];
    std::string found;
    while (getmntent_r(stream, &entry, line, sizeof line)) {
        if (std::strcmp(entry.mnt_dir, mountPoint) == 0) {
            found = entry.mnt_fsname;
            break;
        }
    }
    endmntent(stream);
    return found;
}

void BM_MountLookup_BareGetmntent(benchmark::State& state) {
    const std::string& table = tableFor(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(bareLookup(table, kMissing));
}
BENCHMARK(BM_MountLookup_BareGetmntent)->Arg(0)->Arg(1)->ArgName("table");

void BM_MountLookup_FromName(benchmark::State& state) {
    useTable(tableFor(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(getVolumeMountFromName(kMissing));
}
BENCHMARK(BM_MountLookup_FromName)->Arg(0)->Arg(1)->ArgName("table");

void BM_MountLookup_OnName(benchmark::State& state) {
    useTable(tableFor(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(getVolumeMountOnName("disk99s99"));
}
BENCHMARK(BM_MountLookup_OnName)->Arg(0)->Arg(1)->ArgName("table");

// Byte counts across every unit, so neither side runs one predicted path.
constexpr std::array<double, 8> kCounts = {0, 512, 1536, 1500000, 5.0e9, 3.3e12, 7.77e15, 2.0e24};

void BM_SizeText_BareSnprintf(benchmark::State& state) {
    static const char* const units[] = {"bytes", "KB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
    std::size_t i = 0;
    char text[64];
    for (auto _ : state) {
        double value = kCounts[i++ % kCounts.size()];
        benchmark::DoNotOptimize(value);
        int steps = 0;
        while (value > 1000.0) {
            value /= 1000.0;
            ++steps;
        }
        std::snprintf(text, sizeof text, "%.2f %s", value, units[steps > 8 ? 8 : steps]);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_SizeText_BareSnprintf);

// The text alone, scale already decided.
void BM_SizeText_Formatting(benchmark::State& state) {
    std::size_t i = 0;
    for (auto _ : state) {
        double value = kCounts[i++ % kCounts.size()];
        benchmark::DoNotOptimize(value);
        benchmark::DoNotOptimize(vz::sizeText(value, vz::SizeScale::Decimal));
    }
}
BENCHMARK(BM_SizeText_Formatting);

// The exported call: the version gate's store check plus the text.
void BM_SizeText_Exported(benchmark::State& state) {
    fixture();
    std::size_t i = 0;
    for (auto _ : state) {
        double value = kCounts[i++ % kCounts.size()];
        benchmark::DoNotOptimize(value);
        benchmark::DoNotOptimize(KXFoundationConvertBytesToStringValue(value));
    }
}
BENCHMARK(BM_SizeText_Exported);

void BM_VersionGate(benchmark::State& state) {
    fixture();
    for (auto _ : state)
        benchmark::DoNotOptimize(KXCompareCurrentSystemVersionWith("10.6"));
}
BENCHMARK(BM_VersionGate);

// Each iteration times one query and then one bare run of the same tool, so both see the same
// load on a shared machine; the counters give their mean wall times and the ratio of the sums.
void BM_RoleVolume_QueryBesideBareRun(benchmark::State& state) {
    const std::string& tool = fixture().diskTool;
    const std::vector<std::string> arguments = {"apfs", "list", "-plist"};
    using Clock = std::chrono::steady_clock;
    Clock::duration query{}, bare{};
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(getAPFSDataVolume("disk2"));
        const auto middle = Clock::now();
        benchmark::DoNotOptimize(vz::runToolReadingOutput(tool, arguments));
        const auto end = Clock::now();
        query += middle - start;
        bare += end - middle;
    }
    const double iterations = static_cast<double>(state.iterations());
    state.counters["query_us"] =
        std::chrono::duration<double, std::micro>(query).count() / iterations;
    state.counters["bare_us"] =
        std::chrono::duration<double, std::micro>(bare).count() / iterations;
    state.counters["ratio"] =
        std::chrono::duration<double>(query).count() / std::chrono::duration<double>(bare).count();
}
BENCHMARK(BM_RoleVolume_QueryBesideBareRun)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Parse and walk alone, on the tool's output read once.
void BM_RoleVolume_ParseAndWalk(benchmark::State& state) {
    const vz::ToolOutput output(macListing());
    for (auto _ : state) {
        const PlistValue listing = vz::plistFromToolOutput(output);
        benchmark::DoNotOptimize(vz::roleVolumeInListing(listing, "disk2", "Data"));
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(output.size()));
}
BENCHMARK(BM_RoleVolume_ParseAndWalk)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
