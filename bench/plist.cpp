// Parsing an XML property list in the shape of `diskutil apfs list -plist`, at 10 KiB, 1 MiB and
// 20 MiB, three ways in the same run:
//   PlistValueParse  PlistValue::parse, to the finished tree
//   LibplistFromXml  libplist's plist_from_xml + plist_free
//   PugixmlLoad      a bare pugixml load_buffer of the same bytes, with the options the reader
//                    uses (PugixmlLoadDefault: pugixml's default options, for reference).
//                    Both sides copy the bytes once: load_buffer into a buffer of pugixml's,
//                    the reader into a padded one of its own that it parses in place.
// Goals: PlistValue::parse at least 3x faster than libplist, within 2.5x of the bare pugixml load.
// With the console output, the ratios per size are printed at the end, from the fastest of the
// repetitions, in real and CPU time. On a shared machine run, for example,
//   bench_plist --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
// so that load changes spread over all the contenders alike.

#include <VivoziZevidodirid/PlistValue.h>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <plist/plist.h>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The reader's options (platform/plist/PlistXmlReader.cpp).
constexpr unsigned kReaderOptions =
    pugi::parse_cdata | pugi::parse_eol | pugi::parse_ws_pcdata_single | pugi::parse_embed_pcdata;

std::string uuid(std::uint64_t seed) {
    char text[40];
    std::snprintf(text, sizeof text, "%08llX-%04X-%04X-%04X-%012llX",
                  static_cast<unsigned long long>(seed * 2654435761u & 0xFFFFFFFF),
                  static_cast<unsigned>(seed & 0xFFFF), static_cast<unsigned>((seed >> 3) & 0xFFFF),
                  static_cast<unsigned>((seed >> 7) & 0xFFFF),
                  static_cast<unsigned long long>(seed * 11400714819323198485ull & 0xFFFFFFFFFFFF));
    return text;
}

PlistValue volume(std::size_t container, std::size_t index) {
    static const char* const kRoles[] = {"System", "Data", "Preboot", "Recovery", "VM", "Update"};
    const std::string device =
        "disk" + std::to_string(container + 3) + "s" + std::to_string(index + 1);
    PlistValue roles = PlistValue::array();
    roles.append(kRoles[index % 6]);
    return PlistValue(PlistValue::Dictionary{
        {"APFSVolumeUUID", uuid(container * 100 + index)},
        {"CapacityInUse", std::int64_t(10485760000 + index * 4096)},
        {"CapacityQuota", 0},
        {"CapacityReserve", 0},
        {"CryptoMigrationOn", false},
        {"DeviceIdentifier", device},
        {"Encryption", index % 2 == 0},
        {"FileVault", false},
        {"Locked", false},
        {"Name", index == 0 ? "Macintosh HD" : "Macintosh HD - " + std::string(kRoles[index % 6])},
        {"Roles", roles},
    });
}

PlistValue container(std::size_t index) {
    PlistValue stores = PlistValue::array();
    stores.append(PlistValue(PlistValue::Dictionary{
        {"DeviceIdentifier", "disk" + std::to_string(index) + "s2"},
        {"DiskUUID", uuid(index + 7)},
        {"Size", std::int64_t(494384795648)},
    }));
    PlistValue volumes = PlistValue::array();
    for (std::size_t v = 0; v < 6; ++v)
        volumes.append(volume(index, v));
    return PlistValue(PlistValue::Dictionary{
        {"APFSContainerUUID", uuid(index)},
        {"CapacityCeiling", std::int64_t(494384795648)},
        {"CapacityFree", std::int64_t(201326592000 - index)},
        {"ContainerReference", "disk" + std::to_string(index + 3)},
        {"DesignatedPhysicalStore", "disk" + std::to_string(index) + "s2"},
        {"Fusion", false},
        {"PhysicalStores", stores},
        {"Volumes", volumes},
    });
}

// A `diskutil apfs list -plist` document of about size bytes (whole containers; at least one).
const std::string& document(std::size_t size) {
    static std::map<std::size_t, std::string> cache;
    auto& text = cache[size];
    if (!text.empty())
        return text;
    const std::size_t perContainer = PlistValue(PlistValue::Array{container(0)}).xml().size();
    const std::size_t count = std::max<std::size_t>(1, (size + perContainer / 2) / perContainer);
    PlistValue containers = PlistValue::array();
    for (std::size_t c = 0; c < count; ++c)
        containers.append(container(c));
    text = PlistValue(PlistValue::Dictionary{{"Containers", containers}}).xml();
    return text;
}

void PlistValueParse(benchmark::State& state) {
    const std::string& text = document(static_cast<std::size_t>(state.range(0)));
    state.counters["document_bytes"] = static_cast<double>(text.size());
    if (PlistValue::parse(text)["Containers"].count() == 0)
        state.SkipWithError("the document did not parse");
    for (auto _ : state) {
        PlistValue value = PlistValue::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void LibplistFromXml(benchmark::State& state) {
    const std::string& text = document(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_xml(text.data(), static_cast<std::uint32_t>(text.size()), &root);
        if (!root) {
            state.SkipWithError("libplist did not parse the document");
            break;
        }
        benchmark::DoNotOptimize(root);
        plist_free(root);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void pugixmlLoad(benchmark::State& state, unsigned options) {
    const std::string& text = document(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        pugi::xml_document doc;
        const auto result = doc.load_buffer(text.data(), text.size(), options);
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void PugixmlLoad(benchmark::State& state) {
    pugixmlLoad(state, kReaderOptions);
}
void PugixmlLoadDefault(benchmark::State& state) {
    pugixmlLoad(state, pugi::parse_default);
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(10 << 10)->Arg(1 << 20)->Arg(20 << 20)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(PlistValueParse)->Apply(sizes);
BENCHMARK(LibplistFromXml)->Apply(sizes);
BENCHMARK(PugixmlLoad)->Apply(sizes);
BENCHMARK(PugixmlLoadDefault)->Apply(sizes);

// The console output, then per size: libplist / PlistValue and PlistValue / pugixml.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            // The fastest of the repetitions: on a shared machine the least disturbed one.
            auto& entry = times_[name.substr(slash + 1)][name.substr(0, slash)];
            const double real = run.GetAdjustedRealTime(), cpu = run.GetAdjustedCPUTime();
            entry.real = entry.real > 0 ? std::min(entry.real, real) : real;
            entry.cpu = entry.cpu > 0 ? std::min(entry.cpu, cpu) : cpu;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        // CPU time too: on a loaded machine it is the steadier of the two.
        std::printf("\n%-10s %-5s %22s %22s %22s\n", "size", "time", "libplist / PlistValue",
                    "PlistValue / pugixml", "PlistValue / default");
        for (auto& [size, times] : times_) {
            const auto mine = times["PlistValueParse"];
            const auto libplist = times["LibplistFromXml"];
            const auto pugixml = times["PugixmlLoad"];
            const auto plain = times["PugixmlLoadDefault"];
            if (mine.cpu <= 0 || libplist.cpu <= 0 || pugixml.cpu <= 0 || plain.cpu <= 0)
                continue;
            std::printf("%-10s %-5s %21.2fx %21.2fx %21.2fx\n", size.c_str(), "real",
                        libplist.real / mine.real, mine.real / pugixml.real,
                        mine.real / plain.real);
            std::printf("%-10s %-5s %21.2fx %21.2fx %21.2fx\n", size.c_str(), "cpu",
                        libplist.cpu / mine.cpu, mine.cpu / pugixml.cpu, mine.cpu / plain.cpu);
        }
    }

private:
    struct Times {
        double real = 0, cpu = 0;
    };
    std::map<std::string, std::map<std::string, Times>> times_;
};

} // namespace

int main(int argc, char** argv) {
    bool console = true;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0 &&
            std::strcmp(argv[i] + 19, "console") != 0)
            console = false;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (console) {
        RatioReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
