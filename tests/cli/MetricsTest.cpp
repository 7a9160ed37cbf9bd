// vivozi metrics read back by the real consumer: Debian's node exporter with only its textfile
// collector, on a port of the loopback, scraped over HTTP.
#include "Child.h"

#include <VivoziZevidodirid/Journal.h>
#include <gtest/gtest.h>
#include <map>
#include <numeric>
#include <set>
#include <sys/statvfs.h>

namespace {

namespace fs = std::filesystem;
using namespace vztest;

// Samples of the text format by `name|label=value|...`, labels sorted (the exporter escapes them
// as vivozi does), so that vivozi's text and the exporter's rewriting of it compare. A series
// twice is a failure.
std::map<std::string, double> samples(const std::string& text) {
    static const std::regex sample(R"re((\w+)(?:\{(.*)\})? (\S+))re"),
        label(R"re((\w+)="((?:[^"\\]|\\.)*)",?)re");
    std::map<std::string, double> found;
    for (const std::string& line : lines(text)) {
        std::smatch parts;
        if (line.empty() || line[0] == '#' || !std::regex_match(line, parts, sample)) {
            EXPECT_TRUE(line.empty() || line[0] == '#') << "not a sample: " << line;
            continue;
        }
        std::set<std::string> labels;
        const std::string within = parts[2];
        for (std::sregex_iterator at(within.begin(), within.end(), label), end; at != end; ++at)
            labels.insert("|" + at->str(1) + "=" + at->str(2));
        const std::string key = std::accumulate(labels.begin(), labels.end(), parts[1].str());
        EXPECT_TRUE(found.emplace(key, std::stod(parts[3])).second) << "repeated: " << key;
    }
    return found;
}

// The node exporter's page for the textfile collector reading `folder`.
std::map<std::string, double> scrape(const std::string& folder) {
    const Finished page =
        shell(quote(VZ_SOURCE_DIR "/tests/cli/node-exporter-scrape.py") + " " + quote(folder));
    EXPECT_EQ(page.status, 0) << page.err;
    return samples(page.out);
}

kx::JournalTime at(std::chrono::microseconds since) {
    return kx::JournalTime(since);
}

// Daily failed after a success, weekly still under way, monthly cancelled in its only script.
void recordRuns(const std::string& path) {
    kx::Journal journal(kx::Journal::Access::Write, path);
    ASSERT_TRUE(journal.isOpen()) << journal.errorText();
    journal.finishRun(*journal.beginRun("daily", 1, at(1000500ms)), kx::RunOutcome::Succeeded,
                      at(1010500ms));
    const auto failure = journal.beginRun("daily", 1, at(2000250ms));
    for (const auto& [status, signal] :
         {std::pair{std::optional(0), std::optional<int>()}, {3, std::nullopt}, {std::nullopt, 9}})
        journal.finishScript(*journal.beginScript(*failure, "/etc/periodic/daily/x", at(2001s)),
                             {at(2002s), status, signal, "out", 0});
    journal.finishRun(*failure, kx::RunOutcome::Failed, at(2003750ms));
    const auto running = journal.beginRun("weekly", getpid(), at(3000s));
    journal.finishScript(*journal.beginScript(*running, "/w/1", at(3000s)),
                         {at(3001s), 1, std::nullopt, "", 0});
    journal.beginScript(*running, "/w/2", at(3001s));
    const auto cancelled = journal.beginRun("monthly", 1, at(-1500000us));
    journal.beginScript(*cancelled, "/m/1", at(-1s));
    journal.finishRun(*cancelled, kx::RunOutcome::Cancelled, at(0s));
}

constexpr double kAbsent = -42;

TEST(VivoziMetrics, EveryMetricArrivesThroughTheNodeExporter) {
    TempDir folder;
    recordRuns(folder.file("journal.sqlite"));
    fs::create_directory(folder.file("prom"));
    const Finished ran = shell("umask 077; VIVOZI_JOURNAL=" + quote(folder.file("journal.sqlite")) +
                               " " + line({"metrics", "--textfile", folder.file("prom")}));
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out + ran.err, "");
    EXPECT_EQ(fs::status(folder.file("prom/vivozi.prom")).permissions(), fs::perms(0644));
    const auto written = samples(readFile(folder.file("prom/vivozi.prom")));

    struct statvfs root {};
    ASSERT_EQ(statvfs("/", &root), 0);
    const std::string rootVolume = "|device=" + lines(shell("findmnt -no SOURCE /").out).at(0) +
                                   "|fstype=" + lines(shell("findmnt -no FSTYPE /").out).at(0) +
                                   "|mountpoint=/",
                      run = "vivozi_maintenance_last_run_", outcome = run + "outcome|outcome=";
    const std::map<std::string, double> expected = {
        {"vivozi_filesystem_size_bytes" + rootVolume, double(root.f_blocks) * root.f_frsize},
        {"vivozi_filesystem_device_error" + rootVolume, 0},
        {"vivozi_maintenance_journal_error", 0},
        {run + "start_timestamp_seconds|set=daily", 2000.25},
        {run + "end_timestamp_seconds|set=daily", 2003.75},
        {run + "duration_seconds|set=daily", 3.5},
        {outcome + "failed|set=daily", 1},
        {outcome + "succeeded|set=daily", 0},
        {run + "failed_scripts|set=daily", 2},
        {"vivozi_maintenance_last_success_timestamp_seconds|set=daily", 1000.5},
        {run + "start_timestamp_seconds|set=weekly", 3000},
        {outcome + "running|set=weekly", 1},
        {run + "failed_scripts|set=weekly", 1},
        {run + "start_timestamp_seconds|set=monthly", -1.5},
        {outcome + "cancelled|set=monthly", 1},
        {run + "failed_scripts|set=monthly", 1},
        {run + "end_timestamp_seconds|set=weekly", kAbsent},
        {"vivozi_maintenance_last_success_timestamp_seconds|set=weekly", kAbsent},
    };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(written.count(key) ? written.at(key) : kAbsent, value) << key;
    EXPECT_EQ(
        std::ranges::count_if(written, [&](const auto& s) { return s.first.starts_with(outcome); }),
        3 * 6);

    const std::string page = readFile(VZ_SOURCE_DIR "/man/vivozi.1");
    const auto scraped = scrape(folder.file("prom"));
    EXPECT_EQ(scraped.at("node_textfile_scrape_error"), 0);
    for (const auto& [key, value] : written) {
        EXPECT_TRUE(contains(page, ".B " + key.substr(0, key.find('|')) + "\n")) << key;
        EXPECT_EQ(scraped.count(key) ? scraped.at(key) : kAbsent, value) << key;
    }
}

TEST(VivoziMetrics, HostileMountPointsStillScrape) {
    if (shell("unshare -rm true").status != 0)
        GTEST_SKIP() << "no private mount namespace for this user (unshare -rm failed)";
    TempDir folder;
    // Quote, backslash, newline, tab, a byte that is not UTF-8, and a name that reads like it
    // (then as the text format writes both).
    const std::string hostile = folder.file("a\"b\\c\nd\te\xff\xc3\xa9"),
                      lookalike = folder.file("a\"b\\c\nd\te\\xFF\xc3\xa9"),
                      written = folder.file("a\\\"b\\\\c\\nd\te\\\\xFF\xc3\xa9");
    for (const std::string& name : {folder.file("data"), folder.file("prom"), hostile, lookalike})
        fs::create_directory(name);
    for (const std::string& set : {hostile, lookalike})
        kx::Journal(kx::Journal::Access::Write, folder.file("journal.sqlite"))
            .recordSkipped(set, 1, at(1s));
    const Finished ran = shell(
        "VIVOZI_JOURNAL=" + quote(folder.file("journal.sqlite")) +
        " unshare -rm sh -c 'mount --bind \"$1\" \"$2\" && mount --bind \"$1\" \"$3\" && exec " +
        line({"metrics", "--textfile", folder.file("prom")}) + "' sh " +
        quote(folder.file("data")) + " " + quote(hostile) + " " + quote(lookalike));
    ASSERT_EQ(ran.status, 0) << ran.err;
    samples(readFile(folder.file("prom/vivozi.prom"))); // no series twice
    const auto scraped = scrape(folder.file("prom"));
    EXPECT_EQ(scraped.at("node_textfile_scrape_error"), 0);
    std::size_t shown = 0;
    for (const auto& [key, value] : scraped)
        shown += (key.starts_with("vivozi_filesystem_size_bytes") &&
                  key.ends_with("|mountpoint=" + written)) ||
                 key == "vivozi_maintenance_last_run_start_timestamp_seconds|set=" + written;
    EXPECT_EQ(shown, 2u); // the two mount points and the two sets, written alike, once each
}

TEST(VivoziMetrics, TextfileReplacedWholeJournalOptionalHookConfigurable) {
    TempDir folder;
    const std::string prom = folder.file("prom"), target = prom + "/vivozi.prom";
    fs::create_directories(folder.file("demo/journal"));
    fs::create_directory(prom);
    recordRuns(folder.file("demo/journal/journal.sqlite"));
    writeFile(folder.file("garbage"), std::string(4096, 'x'));
    writeFile(folder.file("outside"), "mine");
    // The run service's refresh, as its unit runs it.
    std::string hook = readFile(VZ_SOURCE_DIR "/cli/systemd/vivozi-run@.service.in");
    hook = hook.substr(hook.find("ExecStopPost=-") + 14);
    hook = std::regex_replace(hook.substr(0, hook.find('\n')), std::regex("\\$\\$"), "$$");
    hook = std::regex_replace(hook, std::regex("@VIVOZI_PATH@"), quote(VIVOZI_BINARY));
    const std::string none = "VIVOZI_JOURNAL=" + quote(folder.file("none.sqlite")) + " ",
                      metrics = line({"metrics", "--textfile"}) + " ", into = metrics + quote(prom);
    const struct {
        std::string setup, line;
        int status;
        std::string said;
        bool written, sets;
    } cases[] = {
        // A link at the target is replaced, not written through.
        {"ln -s " + folder.file("outside") + " " + target, none + into, 0, "", true, false},
        {"", none + metrics + quote(folder.file("nowhere")), 1,
         "vivozi: cannot write in " + folder.file("nowhere") + ": No such file or directory\n",
         false, false},
        {"mkdir -p " + target + "/x", none + into, 1,
         "vivozi: cannot write " + target + ": Is a directory\n", false, false},
        {"", none + metrics + "''", 2, "vivozi: --textfile: the folder is empty\n", false, false},
        {"", "VIVOZI_JOURNAL=" + quote(folder.file("garbage")) + " " + into, 1, "vivozi: ", true,
         false},
        {"", "env -u VIVOZI_JOURNAL " + into + " --demo --demo-dir " + quote(folder.file("demo")),
         0, "", true, true},
        {"", none + "VIVOZI_TEXTFILE_DIR=" + quote(prom) + " " + hook, 0, "", true, false},
        {"", none + "VIVOZI_TEXTFILE_DIR= " + hook, 0, "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        shell("rm -rf " + quote(target) + "; " + c.setup);
        const Finished ran = shell(c.line);
        EXPECT_EQ(ran.status, c.status);
        EXPECT_TRUE(ran.err.starts_with(c.said) && ran.out.empty()) << ran.err;
        const bool file = fs::is_regular_file(fs::symlink_status(target));
        const std::string text = file ? readFile(target) : ""; // a folder there reads as nothing
        EXPECT_EQ(file, c.written);
        EXPECT_EQ(contains(text, "vivozi_maintenance_last_run"), c.sets);
        EXPECT_EQ(contains(text, "journal_error " + std::to_string(c.status == 1) + "\n"),
                  c.written);
        EXPECT_EQ(readFile(folder.file("outside")), "mine");
        // Nothing but the target is left in the folder, whatever happened.
        for (const auto& entry : fs::directory_iterator(prom))
            EXPECT_EQ(entry.path().string(), target);
    }
}

} // namespace
