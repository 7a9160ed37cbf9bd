// `vivozi metrics`: the volumes, the last run of each maintenance set and Full Disk Access in the
// Prometheus text format, printed or written for the node exporter's textfile collector.
#include "cli/Commands.h"
#include "cli/JournalText.h"
#include "cli/Output.h"
#include "cli/Sets.h"
#include "cli/VolumeList.h"

#include <VivoziZevidodirid/Journal.h>
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace vivozi {
namespace {

// One metric and its samples; a family prints only with a sample, all of them together.
struct Family {
    const char* name;
    const char* help;
    std::vector<std::pair<std::string, std::string>> samples; // labels, value

    void add(std::string labels, std::string value) {
        samples.emplace_back(std::move(labels), std::move(value));
    }
};

// Length of the valid UTF-8 sequence at text[at], 0 when there is none: the collector refuses a
// whole file over one label that is not UTF-8 (overlong forms and surrogates included).
std::size_t utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    if (lead < 0x80)
        return 1;
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    const unsigned second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90))
        return 0;
    return length;
}

// A label value as the text format writes it; a byte that is not UTF-8 reads "\xHH".
std::string labelValue(std::string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8Length(text, at);
        if (length == 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\\\x%02X", static_cast<unsigned char>(text[at]));
            out += hex;
            ++at;
            continue;
        }
        for (const char c : text.substr(at, length))
            out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
        at += length;
    }
    return out;
}

std::string labels(std::initializer_list<std::pair<const char*, std::string_view>> pairs) {
    std::string text = "{";
    for (const auto& [name, value] : pairs)
        text += std::string(text.size() > 1 ? "," : "") + name + "=\"" + labelValue(value) + '"';
    return text + '}';
}

// Microseconds as exact decimal seconds: "1700000000.25", "-3", "0.000001".
std::string secondsText(std::chrono::microseconds span) {
    const std::int64_t count = span.count();
    const std::uint64_t magnitude =
        count < 0 ? 0 - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
    std::string text = (count < 0 ? "-" : "") + std::to_string(magnitude / 1000000);
    if (const std::uint64_t micros = magnitude % 1000000) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, "%06llu", static_cast<unsigned long long>(micros));
        text += '.' + std::string(fraction);
        while (text.back() == '0')
            text.pop_back();
    }
    return text;
}

std::string timestampText(kx::JournalTime at) {
    return secondsText(at.time_since_epoch());
}

constexpr kx::RunOutcome kOutcomes[] = {kx::RunOutcome::Running, kx::RunOutcome::Succeeded,
                                        kx::RunOutcome::Failed,  kx::RunOutcome::Cancelled,
                                        kx::RunOutcome::Skipped, kx::RunOutcome::Interrupted};

// A run still under way has not failed the script it is in.
std::size_t failedScripts(const kx::RunRecord& run) {
    std::size_t failed = 0;
    for (const kx::ScriptRecord& script : run.scripts)
        failed += scriptFailed(script) && (script.ended || run.outcome != kx::RunOutcome::Running);
    return failed;
}

struct Exposition {
    std::string text;
    bool journalFailed = false;
};

Exposition gather(const VolumeFilter& filter, const std::string& journalPath) {
    Family size{"vivozi_filesystem_size_bytes", "Size of the file system in bytes.", {}};
    Family free{"vivozi_filesystem_free_bytes",
                "Free bytes of the file system, the superuser's reserve included.",
                {}};
    Family avail{"vivozi_filesystem_avail_bytes",
                 "Bytes of the file system an unprivileged user may still write.",
                 {}};
    Family deviceError{"vivozi_filesystem_device_error",
                       "1 when the file system could not be asked for its space.",
                       {}};
    std::set<std::string> seen;
    for (const VolumeRow& row : mountedVolumes(filter)) {
        const std::string names = labels({{"mountpoint", row.mount.mountPoint},
                                          {"device", row.mount.source},
                                          {"fstype", row.mount.type}});
        // Two names may read alike once their stray bytes are written out; a repeated series
        // would make the collector drop the file.
        if (!seen.insert(labelValue(row.mount.mountPoint)).second)
            continue;
        deviceError.add(names, row.space ? "0" : "1");
        if (!row.space)
            continue;
        size.add(names, std::to_string(row.space->totalBytes));
        free.add(names, std::to_string(row.space->freeBytes));
        avail.add(names, std::to_string(row.space->availableBytes));
    }

    Family journalError{"vivozi_maintenance_journal_error",
                        "1 when the maintenance journal exists but could not be read.",
                        {}};
    Family started{"vivozi_maintenance_last_run_start_timestamp_seconds",
                   "Start of the set's last run, in seconds since the epoch.",
                   {}};
    Family ended{"vivozi_maintenance_last_run_end_timestamp_seconds",
                 "End of the set's last run, in seconds since the epoch.",
                 {}};
    Family duration{
        "vivozi_maintenance_last_run_duration_seconds", "How long the set's last run took.", {}};
    Family outcome{"vivozi_maintenance_last_run_outcome",
                   "1 for the outcome of the set's last run, 0 for the others.",
                   {}};
    Family failed{"vivozi_maintenance_last_run_failed_scripts",
                  "Scripts of the set's last run that failed.",
                  {}};
    Family success{"vivozi_maintenance_last_success_timestamp_seconds",
                   "Start of the set's last successful run, in seconds since the epoch.",
                   {}};
    Exposition result;
    kx::Journal journal(kx::Journal::Access::Read, journalPath);
    std::vector<kx::SetSummary> summaries;
    if (journal.isOpen())
        summaries = journal.lastRuns();
    // No journal yet is no run yet, not a fault.
    if (journal.error() && journal.error() != std::errc::no_such_file_or_directory) {
        err << "vivozi: " << escapeForTerminal(journal.errorText()) << '\n';
        result.journalFailed = true;
        summaries.clear();
    }
    journalError.add("", result.journalFailed ? "1" : "0");
    seen.clear();
    for (const kx::SetSummary& summary : summaries) {
        const kx::RunRecord& run = summary.lastRun;
        const std::string set = labels({{"set", run.set}});
        if (!seen.insert(set).second) // a journal not written by periodic may hold look-alikes
            continue;
        started.add(set, timestampText(run.started));
        if (run.ended) {
            ended.add(set, timestampText(*run.ended));
            duration.add(set, secondsText(*run.ended - run.started));
        }
        for (const kx::RunOutcome each : kOutcomes)
            outcome.add(labels({{"set", run.set}, {"outcome", kx::runOutcomeName(each)}}),
                        each == run.outcome ? "1" : "0");
        if (const auto withScripts = journal.run(run.id))
            failed.add(set, std::to_string(failedScripts(*withScripts)));
        if (summary.lastSuccess)
            success.add(set, timestampText(*summary.lastSuccess));
    }

    Family access{"vivozi_full_disk_access", "1 when vivozi has Full Disk Access.", {}};
    if (fullDiskAccessApplies(KXGetCurrentSystemDictionary()))
        access.add("", isFullDiskAccessSetup() ? "1" : "0");

    for (const Family* family : {&size, &free, &avail, &deviceError, &journalError, &started,
                                 &ended, &duration, &outcome, &failed, &success, &access}) {
        if (family->samples.empty())
            continue;
        result.text += std::string("# HELP ") + family->name + ' ' + family->help + '\n' +
                       "# TYPE " + family->name + " gauge\n";
        for (const auto& [names, value] : family->samples)
            result.text += family->name + names + ' ' + value + '\n';
    }
    return result;
}

std::runtime_error systemError(const std::string& what, int number) {
    return std::runtime_error(what + ": " + std::strerror(number));
}

// DIR/vivozi.prom replaced as a whole, so that the collector never reads half a file: written
// to a new file beside it, flushed to disk, then renamed over it (over a link too, never
// through one).
void writeTextfile(const std::string& folder, const std::string& text) {
    const std::string target = folder + "/vivozi.prom";
    // Not *.prom: the collector must not read it meanwhile.
    std::string temporary = folder + "/.vivozi.prom.XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        throw systemError("cannot write in " + escapeForTerminal(folder), errno);
    int number = 0;
    for (std::size_t done = 0; done < text.size() && number == 0;) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote > 0)
            done += static_cast<std::size_t>(wrote);
        else if (errno != EINTR)
            number = errno;
    }
    // mkostemp makes it 0600; the exporter reads it under an account of its own.
    if (number == 0 && (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0))
        number = errno;
    if (::close(fd) != 0 && number == 0)
        number = errno;
    if (number == 0 && ::rename(temporary.c_str(), target.c_str()) != 0)
        number = errno;
    if (number != 0) {
        ::unlink(temporary.c_str());
        throw systemError("cannot write " + escapeForTerminal(target), number);
    }
    // The rename itself reaches the disk with its folder.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

struct MetricsOptions {
    SetsChoice choice;
    std::string demoFolder;
    VolumeFilter filter;
    std::optional<std::string> textfile;
};

int metricsCommand(MetricsOptions& options) {
    if (!options.demoFolder.empty())
        options.choice.demoFolder = options.demoFolder;
    if (options.textfile && options.textfile->empty())
        throw UsageError("--textfile: the folder is empty");
    VolumeOptions volumes;
    volumes.filter = options.filter;
    volumes.settle(); // splits the type lists
    const Exposition exposition = gather(volumes.filter, journalFile(options.choice));
    if (options.textfile)
        writeTextfile(*options.textfile, exposition.text);
    else
        out << exposition.text;
    return exposition.journalFailed ? kExitFailure : kExitSuccess;
}

} // namespace

Runner addMetricsCommand(CommandLine& line, bool&) {
    const auto options = std::make_shared<MetricsOptions>();
    line.option("--textfile", "DIR", into(options->textfile),
                "Write DIR/vivozi.prom for the node exporter's textfile collector, replacing it "
                "whole");
    line.flag("--all", options->filter.all,
              "Also the special file systems (proc, sysfs, tmpfs, ...)");
    line.flag("--local", options->filter.local, "Leave out network file systems");
    line.option("-t,--type", "TYPE", into(options->filter.types),
                "Only file systems of this type (repeatable, or a comma list)");
    line.option("-x,--exclude-type", "TYPE", into(options->filter.excludedTypes),
                "Leave out file systems of this type (repeatable, or a comma list)");
    line.flag("--demo", options->choice.demo, "The runs of the bundled sample sets instead");
    line.option("--demo-dir", "DIR", into(options->demoFolder), "Folder the sample sets work in");
    line.needs("--demo-dir", "--demo");
    return [options] { return metricsCommand(*options); };
}

} // namespace vivozi
