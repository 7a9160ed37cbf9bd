// How the costs grow with the input, each size beside its baseline in the same run:
//   property lists of 1 KiB to 20 MiB in the shape of `diskutil apfs list -plist`, XML and binary,
//   PlistValue::parse beside libplist's own reading of the same bytes (goal for the binary form:
//   at most 0.67x the time of plist_from_bin + plist_free at every size);
//   mount tables of 10 to 10,000 entries, a lookup that walks the whole table beside a bare
//   getmntent_r walk;
//   the peak memory of parsing the 20 MiB document, ours beside libplist's, each measured in a
//   fresh process (this program run again with --peak) so that no earlier heap hides it.
// Times are taken with a warm heap (see main); a parse in a cold one also pays the page faults.
#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Volumes.h>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <map>
#include <mntent.h>
#include <plist/plist.h>
#include <sstream>
#include <string>

namespace {

constexpr std::int64_t KiB = 1024;
constexpr std::int64_t MiB = 1024 * KiB;

PlistValue volume(std::size_t index) {
    static const char* const kRoles[] = {"System", "Data", "Preboot", "Recovery", "VM", "Update"};
    const std::string device =
        "disk" + std::to_string(index / 6 + 3) + "s" + std::to_string(index % 6 + 1);
    return PlistValue::Dictionary{
        {"APFSVolumeUUID", "0A1B2C3D-4E5F-4061-8273-" + std::to_string(100000000000 + index)},
        {"CapacityInUse", static_cast<std::int64_t>(10485760000 + index * 4096)},
        {"CapacityQuota", 0},
        {"CryptoMigrationOn", false},
        {"DeviceIdentifier", device},
        {"Encryption", index % 2 == 0},
        {"Name", "Macintosh HD - " + std::string(kRoles[index % 6])},
        {"Roles", PlistValue::Array{kRoles[index % 6]}},
    };
}

// A listing of `volumes` volumes, six to a container.
PlistValue listing(std::size_t volumes) {
    PlistValue::Array containers;
    for (std::size_t v = 0; v < volumes; v += 6) {
        PlistValue::Array members;
        for (std::size_t i = v; i < std::min(volumes, v + 6); ++i)
            members.push_back(volume(i));
        const std::string reference = "disk" + std::to_string(v / 6 + 3);
        containers.push_back(PlistValue::Dictionary{
            {"CapacityCeiling", std::int64_t{494384795648}},
            {"CapacityFree", std::int64_t{201326592000}},
            {"ContainerReference", reference},
            {"DesignatedPhysicalStore", reference + "s2"},
            {"PhysicalStores",
             PlistValue::Array{PlistValue::Dictionary{{"DeviceIdentifier", reference + "s2"}}}},
            {"Volumes", std::move(members)},
        });
    }
    return PlistValue::Dictionary{{"Containers", std::move(containers)}};
}

const std::string& xmlDocument(std::int64_t size) {
    static std::map<std::int64_t, std::string> cache;
    std::string& text = cache[size];
    if (text.empty()) {
        const double perVolume = static_cast<double>(listing(60).xml().size()) / 60.0;
        // As many volumes as make about `size` bytes of XML, one at least.
        const auto count = static_cast<std::size_t>(std::max(1.0, size / perVolume));
        text = listing(count).xml();
    }
    return text;
}

const std::string& binaryDocument(std::int64_t size) {
    static std::map<std::int64_t, std::string> cache;
    std::string& bytes = cache[size];
    if (bytes.empty()) {
        const std::string& xml = xmlDocument(size);
        plist_t root = nullptr;
        plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
        char* binary = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(root, &binary, &length);
        bytes.assign(binary, length);
        std::free(binary);
        plist_free(root);
    }
    return bytes;
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const std::int64_t size : {1 * KiB, 16 * KiB, 256 * KiB, 1 * MiB, 4 * MiB, 20 * MiB})
        b->Arg(size);
    b->Unit(benchmark::kMicrosecond);
}

void parse(benchmark::State& state, const std::string& bytes) {
    if (PlistValue::parse(bytes)["Containers"].count() == 0)
        state.SkipWithError("the document did not parse");
    for (auto _ : state) {
        PlistValue value = PlistValue::parse(bytes);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
    state.counters["document_bytes"] = static_cast<double>(bytes.size());
}

void BM_Growth_PlistXml_Ours(benchmark::State& state) {
    parse(state, xmlDocument(state.range(0)));
}
void BM_Growth_PlistXml_Libplist(benchmark::State& state) {
    const std::string& xml = xmlDocument(state.range(0));
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
        benchmark::DoNotOptimize(root);
        plist_free(root);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(xml.size()));
}
void BM_Growth_PlistBinary_Ours(benchmark::State& state) {
    parse(state, binaryDocument(state.range(0)));
}
void BM_Growth_PlistBinary_Libplist(benchmark::State& state) {
    const std::string& bytes = binaryDocument(state.range(0));
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
        benchmark::DoNotOptimize(root);
        plist_free(root);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_Growth_PlistXml_Ours)->Apply(sizes);
BENCHMARK(BM_Growth_PlistXml_Libplist)->Apply(sizes);
BENCHMARK(BM_Growth_PlistBinary_Ours)->Apply(sizes);
BENCHMARK(BM_Growth_PlistBinary_Libplist)->Apply(sizes);

// --- Mount tables ---

struct Folder {
    std::string path;
    Folder() {
        char pattern[] = "/tmp/vz-bench-growth.XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Folder() { std::filesystem::remove_all(path); }
};

const Folder& folder() {
    static const Folder instance;
    return instance;
}

const std::string& mountTable(std::int64_t entries) {
    static std::map<std::int64_t, std::string> cache;
    std::string& path = cache[entries];
    if (path.empty()) {
        path = folder().path + "/mounts-" + std::to_string(entries);
        std::ofstream out(path);
        for (std::int64_t i = 0; i < entries; ++i)
            out << "/dev/sd" << i << " /mnt/volume" << i
                << " ext4 rw,relatime,errors=remount-ro 0 0\n";
    }
    return path;
}

void tableSizes(benchmark::internal::Benchmark* b) {
    for (const std::int64_t entries : {10, 100, 1000, 10000})
        b->Arg(entries);
}

// No entry has this mount point: both walks read the whole table.
constexpr const char* kMissing = "/Volumes/Missing";

void BM_Growth_MountLookup_Ours(benchmark::State& state) {
    kx::SystemPaths paths = kx::systemPaths();
    paths.mountTable = mountTable(state.range(0));
    kx::setSystemPaths(paths);
    for (auto _ : state)
        benchmark::DoNotOptimize(getVolumeMountFromName(kMissing));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
void BM_Growth_MountLookup_BareGetmntent(benchmark::State& state) {
    const std::string& table = mountTable(state.range(0));
    static char line[64 * 1024];
    for (auto _ : state) {
        FILE* stream = setmntent(table.c_str(), "r");
        mntent entry{};
        std::string found;
        while (getmntent_r(stream, &entry, line, sizeof line)) {
            if (std::strcmp(entry.mnt_dir, kMissing) == 0) {
                found = entry.mnt_fsname;
                break;
            }
        }
        endmntent(stream);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Growth_MountLookup_Ours)->Apply(tableSizes);
BENCHMARK(BM_Growth_MountLookup_BareGetmntent)->Apply(tableSizes);

// --- Peak memory ---

long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field))
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// In the fresh process: the resident size before the parse, and its peak while the parse ran
// and its tree was alive, in KiB.
int measurePeak(const char* path, std::string_view reader) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string bytes = buffer.str();
    malloc_trim(0);
    const long before = statusKiB("VmRSS:");
    std::ofstream("/proc/self/clear_refs") << "5"; // peak := current
    long peak = -1;
    if (reader == "ours") {
        const PlistValue value = PlistValue::parse(bytes);
        benchmark::DoNotOptimize(value);
        peak = value.isAbsent() ? -1 : statusKiB("VmHWM:");
    } else {
        plist_t root = nullptr;
        plist_from_xml(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
        benchmark::DoNotOptimize(root);
        peak = root ? statusKiB("VmHWM:") : -1;
        plist_free(root);
    }
    std::printf("%ld %ld\n", before, peak);
    return peak < 0 ? 1 : 0;
}

std::string selfPath;

void BM_PeakMemory_20MiB(benchmark::State& state, const char* reader) {
    const std::string path = folder().path + "/document.plist";
    const std::string& xml = xmlDocument(20 * MiB);
    if (!std::filesystem::exists(path))
        std::ofstream(path, std::ios::binary) << xml;
    long before = 0, peak = -1;
    for (auto _ : state) {
        const std::string command = "'" + selfPath + "' --peak '" + path + "' " + reader;
        FILE* child = popen(command.c_str(), "r");
        if (!child || std::fscanf(child, "%ld %ld", &before, &peak) != 2 || pclose(child) != 0 ||
            peak < 0) {
            state.SkipWithError("the measuring process failed");
            return;
        }
    }
    state.counters["document_MiB"] = static_cast<double>(xml.size()) / MiB;
    state.counters["peak_extra_MiB"] = static_cast<double>(peak - before) / 1024.0;
    state.counters["peak_per_document_byte"] =
        static_cast<double>(peak - before) * 1024.0 / static_cast<double>(xml.size());
}
BENCHMARK_CAPTURE(BM_PeakMemory_20MiB, Ours, "ours")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_PeakMemory_20MiB, Libplist, "libplist")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--peak") == 0)
        return measurePeak(argv[2], argv[3]);
    selfPath = std::filesystem::canonical("/proc/self/exe").string();
    // One allocator policy for every size and both parsers: glibc otherwise raises its trim and
    // mmap thresholds as it sees large blocks freed, so whether a parse finds its memory warm or
    // faults it in afresh would depend on which sizes ran before it. Held fixed, the heap stays
    // warm between iterations, as in a long-running host.
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
