// vivozi metrics read back by the real consumer: Debian's node exporter, started on a free port
// of the loopback with only its textfile collector, scraped over HTTP.
#include "cli/Format.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Journal.h>
#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Ran {
    int status = -1;
    std::string out;
};

Ran shell(const std::string& line) {
    Ran ran;
    if (FILE* pipe = popen(("exec 2>&1; " + line).c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            ran.out.append(buffer, got);
        const int status = pclose(pipe);
        ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return ran;
}

const std::string kVivozi = vivozi::shellQuote(VIVOZI_BINARY);

// Samples of the text format by `name|label=value|...`, labels sorted and unescaped, so that
// vivozi's text and the exporter's rewriting of it compare.
std::map<std::string, double> samples(const std::string& text) {
    std::map<std::string, double> found;
    for (const std::string& line : vztest::lines(text)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::size_t at = line.find_first_of("{ ");
        std::string key = line.substr(0, at);
        std::map<std::string, std::string> labels;
        if (line.at(at) == '{') {
            while (line.at(++at) != '}') {
                const std::size_t open = line.find("=\"", at);
                std::string& value = labels[line.substr(at, open - at)];
                for (at = open + 2; line.at(at) != '"'; ++at)
                    value += line.at(at) != '\\'    ? line[at]
                             : line.at(++at) == 'n' ? '\n'
                                                    : line[at];
                if (line.at(at + 1) == ',')
                    ++at;
            }
            ++at;
        }
        for (const auto& [name, value] : labels)
            key += "|" + name + "=" + value;
        EXPECT_TRUE(found.emplace(key, std::stod(line.substr(at + 1))).second)
            << "repeated: " << key;
    }
    return found;
}

std::string httpGet(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{
        AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    std::string reply;
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
            reply.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    const std::size_t body = reply.find("\r\n\r\n");
    return reply.starts_with("HTTP/1.") && body != std::string::npos ? reply.substr(body + 4) : "";
}

// The exporter reading `folder`, killed with the object.
class NodeExporter {
public:
    explicit NodeExporter(const std::string& folder) {
        for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
            // The exporter takes no port 0: one free a moment ago, another try if it was taken.
            const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            socklen_t size = sizeof address;
            bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
            getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
            close(probe);
            const int port = ntohs(address.sin_port);
            const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port);
            const std::string textfiles = "--collector.textfile.directory=" + folder;
            pid_ = fork();
            if (pid_ == 0) {
                freopen("/dev/null", "w", stdout);
                freopen("/dev/null", "w", stderr);
                execl(kProgram, kProgram, "--collector.disable-defaults", "--collector.textfile",
                      textfiles.c_str(), listen.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            for (int wait = 0; wait < 200 && port_ == 0 && pid_ > 0; ++wait) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                    pid_ = 0;
                else if (httpGet(port, "/metrics").find("node_textfile_scrape_error") !=
                         std::string::npos)
                    port_ = port;
                else
                    usleep(50000);
            }
        }
    }
    ~NodeExporter() {
        if (pid_ > 0 && kill(pid_, SIGKILL) == 0)
            waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }
    std::map<std::string, double> scrape() const { return samples(httpGet(port_, "/metrics")); }

    static constexpr char kProgram[] = "/usr/bin/prometheus-node-exporter";

private:
    pid_t pid_ = 0;
    int port_ = 0;
};

constexpr double kAbsent = -42;

kx::JournalTime at(std::chrono::microseconds since) {
    return kx::JournalTime(since);
}

// The journal of the first test: daily failed after a success, weekly still under way, monthly
// cancelled in its only script.
void recordRuns(const std::string& path) {
    kx::Journal journal(kx::Journal::Access::Write, path);
    ASSERT_TRUE(journal.isOpen()) << journal.errorText();
    const auto success = journal.beginRun("daily", 1, at(1000500ms));
    journal.finishRun(*success, kx::RunOutcome::Succeeded, at(1010500ms));
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

TEST(VivoziMetrics, EveryMetricArrivesThroughTheNodeExporter) {
    ASSERT_EQ(access(NodeExporter::kProgram, X_OK), 0) << "Debian package prometheus-node-exporter";
    vztest::TempDir folder;
    recordRuns(folder.file("journal.sqlite"));
    fs::create_directory(folder.file("prom"));
    const Ran ran = shell("umask 077; VIVOZI_JOURNAL=" + folder.file("journal.sqlite") + " " +
                          kVivozi + " metrics --textfile " + folder.file("prom"));
    ASSERT_EQ(ran.status, 0) << ran.out;
    EXPECT_EQ(ran.out, "");
    struct stat info {};
    ASSERT_EQ(stat(folder.file("prom/vivozi.prom").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    const auto written = samples(vztest::readFile(folder.file("prom/vivozi.prom")));

    struct statvfs root {};
    ASSERT_EQ(statvfs("/", &root), 0);
    const std::string rootVolume =
        "|device=" + vztest::lines(shell("findmnt -no SOURCE /").out).at(0) +
        "|fstype=" + vztest::lines(shell("findmnt -no FSTYPE /").out).at(0) + "|mountpoint=/";
    const std::string outcome = "vivozi_maintenance_last_run_outcome|outcome=";
    const std::map<std::string, double> expected = {
        {"vivozi_filesystem_size_bytes" + rootVolume, double(root.f_blocks) * root.f_frsize},
        {"vivozi_filesystem_device_error" + rootVolume, 0},
        {"vivozi_maintenance_journal_error", 0},
        {"vivozi_maintenance_last_run_start_timestamp_seconds|set=daily", 2000.25},
        {"vivozi_maintenance_last_run_end_timestamp_seconds|set=daily", 2003.75},
        {"vivozi_maintenance_last_run_duration_seconds|set=daily", 3.5},
        {outcome + "failed|set=daily", 1},
        {outcome + "succeeded|set=daily", 0},
        {"vivozi_maintenance_last_run_failed_scripts|set=daily", 2},
        {"vivozi_maintenance_last_success_timestamp_seconds|set=daily", 1000.5},
        {"vivozi_maintenance_last_run_start_timestamp_seconds|set=weekly", 3000},
        {outcome + "running|set=weekly", 1},
        {"vivozi_maintenance_last_run_failed_scripts|set=weekly", 1},
        {"vivozi_maintenance_last_run_start_timestamp_seconds|set=monthly", -1.5},
        {"vivozi_maintenance_last_run_duration_seconds|set=monthly", 1.5},
        {outcome + "cancelled|set=monthly", 1},
        {outcome + "interrupted|set=monthly", 0},
        {"vivozi_maintenance_last_run_failed_scripts|set=monthly", 1},
        {"vivozi_maintenance_last_run_end_timestamp_seconds|set=weekly", kAbsent},
        {"vivozi_maintenance_last_success_timestamp_seconds|set=weekly", kAbsent},
    };
    for (const auto& [key, value] : expected)
        EXPECT_EQ(written.count(key) ? written.at(key) : kAbsent, value) << key;
    EXPECT_EQ(std::count_if(written.begin(), written.end(),
                            [&](const auto& sample) { return sample.first.starts_with(outcome); }),
              3 * 6);

    const std::string page = vztest::readFile(VZ_SOURCE_DIR "/man/vivozi.1");
    for (const auto& [key, value] : written)
        EXPECT_NE(page.find(".B " + key.substr(0, key.find('|')) + "\n"), std::string::npos) << key;

    const NodeExporter exporter(folder.file("prom"));
    ASSERT_NE(exporter.port(), 0) << "the node exporter did not start";
    const auto scraped = exporter.scrape();
    EXPECT_EQ(scraped.at("node_textfile_scrape_error"), 0);
    for (const auto& [key, value] : written)
        EXPECT_EQ(scraped.count(key) ? scraped.at(key) : kAbsent, value) << key;
}

TEST(VivoziMetrics, HostileMountPointsStillScrape) {
    if (shell("unshare -rm true").status != 0)
        GTEST_SKIP() << "no private mount namespace for this user (unshare -rm failed)";
    vztest::TempDir folder;
    // Quote, backslash, newline, tab, a byte that is not UTF-8, and a name that reads like it.
    const std::string hostile = folder.file("a\"b\\c\nd\te\xff\xc3\xa9"),
                      lookalike = folder.file("a\"b\\c\nd\te\\xFF\xc3\xa9");
    for (const std::string& name : {folder.file("data"), folder.file("prom"), hostile, lookalike})
        fs::create_directory(name);
    {
        kx::Journal journal(kx::Journal::Access::Write, folder.file("journal.sqlite"));
        for (const std::string& set : {hostile, lookalike})
            journal.recordSkipped(set, 1, at(1s));
    }
    const Ran ran =
        shell("VIVOZI_JOURNAL=" + folder.file("journal.sqlite") +
              " unshare -rm sh -c 'mount --bind \"$1\" \"$2\" && "
              "mount --bind \"$1\" \"$3\" && exec \"$4\" metrics --textfile \"$5\"' sh " +
              vivozi::shellQuote(folder.file("data")) + " " + vivozi::shellQuote(hostile) + " " +
              vivozi::shellQuote(lookalike) + " " + kVivozi + " " +
              vivozi::shellQuote(folder.file("prom")));
    ASSERT_EQ(ran.status, 0) << ran.out;
    samples(vztest::readFile(folder.file("prom/vivozi.prom"))); // no series twice
    const NodeExporter exporter(folder.file("prom"));
    ASSERT_NE(exporter.port(), 0) << "the node exporter did not start";
    const auto scraped = exporter.scrape();
    EXPECT_EQ(scraped.at("node_textfile_scrape_error"), 0);
    std::size_t shown = 0;
    for (const auto& [key, value] : scraped)
        shown += (key.starts_with("vivozi_filesystem_size_bytes") &&
                  key.ends_with("|mountpoint=" + lookalike)) ||
                 key == "vivozi_maintenance_last_run_start_timestamp_seconds|set=" + lookalike;
    EXPECT_EQ(shown, 2u); // the two mount points and the two sets, written alike, once each
}

TEST(VivoziMetrics, TextfileReplacedWholeJournalOptionalHookConfigurable) {
    vztest::TempDir folder;
    const std::string prom = folder.file("prom"), target = prom + "/vivozi.prom";
    fs::create_directories(folder.file("demo/journal"));
    fs::create_directory(prom);
    recordRuns(folder.file("demo/journal/journal.sqlite"));
    vztest::writeFile(folder.file("garbage"), std::string(4096, 'x'));
    vztest::writeFile(folder.file("outside"), "mine");
    std::string hook = vztest::readFile(VZ_SOURCE_DIR "/cli/systemd/vivozi-run@.service.in");
    hook = hook.substr(hook.find("ExecStopPost=-") + 14);
    hook = std::regex_replace(hook.substr(0, hook.find('\n')), std::regex("\\$\\$"), "$$");
    hook = std::regex_replace(hook, std::regex("@VIVOZI_PATH@"), kVivozi);
    const std::string journal = "VIVOZI_JOURNAL=" + folder.file("none.sqlite") + " ",
                      metrics = kVivozi + " metrics --textfile ";
    const struct {
        std::string setup, line;
        int status;
        std::string said;
        bool written, sets;
    } cases[] = {
        // A link at the target is replaced, not written through.
        {"ln -s " + folder.file("outside") + " " + target, journal + metrics + prom, 0, "", true,
         false},
        {"", journal + metrics + folder.file("nowhere"), 1,
         "vivozi: cannot write in " + folder.file("nowhere") + ": No such file or directory\n",
         false, false},
        {"mkdir -p " + target + "/x", journal + metrics + prom, 1,
         "vivozi: cannot write " + target + ": Is a directory\n", false, false},
        {"", journal + kVivozi + " metrics --textfile ''", 2,
         "vivozi: --textfile: the folder is empty\n", false, false},
        {"", "VIVOZI_JOURNAL=" + folder.file("garbage") + " " + metrics + prom, 1, "vivozi: ", true,
         false},
        {"",
         "env -u VIVOZI_JOURNAL " + metrics + prom + " --demo --demo-dir " + folder.file("demo"), 0,
         "", true, true},
        {"", journal + "VIVOZI_TEXTFILE_DIR=" + prom + " " + hook, 0, "", true, false},
        {"", journal + "VIVOZI_TEXTFILE_DIR= " + hook, 0, "", false, false},
    };
    for (const auto& c : cases) {
        shell("rm -rf " + target + "; " + c.setup);
        const Ran ran = shell(c.line);
        EXPECT_EQ(ran.status, c.status) << c.line;
        EXPECT_TRUE(ran.out.starts_with(c.said)) << c.line << "\n" << ran.out;
        const std::string text = vztest::readFile(target);
        EXPECT_EQ(fs::is_regular_file(fs::symlink_status(target)), c.written) << c.line;
        EXPECT_EQ(text.find("vivozi_maintenance_last_run") != std::string::npos, c.sets) << c.line;
        const std::string error = "journal_error " + std::to_string(c.status == 1) + "\n";
        EXPECT_EQ(text.find(error) != std::string::npos, c.written) << c.line;
        EXPECT_EQ(vztest::readFile(folder.file("outside")), "mine");
        // Nothing but the target is left in the folder, whatever happened.
        for (const auto& entry : fs::directory_iterator(prom))
            EXPECT_EQ(entry.path().string(), target) << c.line;
    }
}

} // namespace
