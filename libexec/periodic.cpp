// periodic NAME: runs the maintenance set NAME, the Linux stand-in for the macOS tool.
//
// The set is every executable regular file (links followed) in $ROOT/periodic/NAME/ when that
// folder exists, else in $ROOT/cron.NAME/, where ROOT is $VIVOZI_PERIODIC_ROOT or /etc. Scripts
// run one at a time in byte order of their names. As run-parts does by default, only names made
// of ASCII letters, digits, '_' and '-' are run. Each script inherits our environment and process
// group (whoever stops our group stops the script now running too), reads the null device, and
// runs under umask 022; its standard output and error go through one pipe that we pass on to our
// own standard output, keeping the tail for the journal. A set folder that cannot be listed fails
// the set.
//
// Every run is recorded in the maintenance journal ($VIVOZI_JOURNAL, else the account's default);
// a journal that cannot be used is logged once and never stops the run. One run of a set at a
// time: the lock beside the journal is held while the set runs.
//
// Exit status: 0 when every script exited 0 (an empty set included), 1 otherwise, 2 for a bad
// command line or an unknown set, 75 when the set is already running, each with one line on
// standard error. A terminate, interrupt or hang-up starts no further script, waits for the one
// running (which the same signal to our group reaches), records the run as cancelled and ends us
// by that signal.
#include "journal/JournalFiles.h"
#include "journal/OutputTail.h"
#include "platform/files/Descriptor.h"
#include "platform/log/Log.h"
#include "platform/process/ProcessSystem.h"

#include <VivoziZevidodirid/Journal.h>
#include <VivoziZevidodirid/MaintenanceSets.h>
#include <VivoziZevidodirid/Task.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// With an empty environment (as the library starts us) scripts would otherwise find nothing.
constexpr char kDefaultPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr int kAlreadyRunning = 75; // EX_TEMPFAIL: try again later

volatile sig_atomic_t stopSignal = 0;
int wakeWrite = -1;

void onStop(int signal) {
    const int saved = errno;
    stopSignal = signal;
    [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite, "", 1);
    errno = saved;
}

kx::JournalTime now() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now());
}

// Keeps `thread` off the CPU we are on. A scheduler that gathers a lightly loaded machine's work
// on few CPUs would otherwise run it beside us and the scripts, which then wait for it, while
// another CPU idles. With a single CPU allowed, it shares that one.
void keepOffOurCpu(std::thread& thread) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    const int here = ::sched_getcpu();
    if (here < 0 || ::sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
        CPU_COUNT(&allowed) < 2 || !CPU_ISSET(here, &allowed))
        return;
    CPU_CLR(here, &allowed);
    pthread_setaffinity_np(thread.native_handle(), sizeof allowed, &allowed);
}

// The journal as the run sees it, written by a thread of its own: opening the journal (which
// replays its write-ahead log), its writes and the checkpoints they bring all go on while the
// scripts run, and none of them holds up a script. The writes queued while one is made go
// together in the next transaction. The first failure is logged and the journal is then left
// alone, so that a broken journal costs one log line and nothing else.
class Record {
public:
    explicit Record(std::string set) : set_(std::move(set)) {}
    ~Record() { finish(); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    void open(const std::string& path) {
        // Only our main thread takes the stop signals, so that they break its waits.
        sigset_t stops, before;
        sigemptyset(&stops);
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&stops, signal);
        pthread_sigmask(SIG_BLOCK, &stops, &before);
        try {
            writer_ = std::thread([this, path] { write(path); });
            keepOffOurCpu(writer_);
        } catch (const std::system_error&) {
            // No thread to spare: each write is made when asked for instead.
            openJournal(path);
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    // A problem beside the journal, logged as its failure would be: by our main thread before
    // open, then by the writer alone.
    void logOnce(const std::string& why) {
        if (!logged_)
            kx::logLine("periodic " + set_ + ": " + why);
        logged_ = true;
    }

    void beginRun() { post(Write::BeginRun, now()); }
    void finishRun(kx::RunOutcome outcome) { post(Write::FinishRun, now(), outcome); }
    void skipped() { post(Write::Skipped, now()); }
    void beginScript(const std::string& path) { post(Write::BeginScript, now(), {}, path); }
    // Not handed over alone: the next write (the next script's start or the run's end) follows
    // at once, and the two go in one transaction.
    void finishScript(const kx::ScriptEnd& end, std::string output) {
        post(Write::FinishScript, end.ended, {}, std::move(output), end, /*wake=*/false);
    }
    // Returns once every write asked for is made (or given up).
    void finish() {
        if (!writer_.joinable())
            return;
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
        }
        queued_.notify_one();
        writer_.join();
        // Left open for our end, which is at hand and releases what a close would free, while
        // our caller waits for it. Every write is committed by now, and a connection that ends
        // with its process leaves the files as a close does (which folds nothing in either).
        // Held by a static, so that leak checkers see it kept.
        [[maybe_unused]] static kx::Journal* leftOpen = nullptr;
        if (journal_)
            leftOpen = new kx::Journal(std::move(*journal_));
    }

private:
    struct Write {
        enum Kind { BeginRun, FinishRun, Skipped, BeginScript, FinishScript } kind;
        kx::JournalTime at;
        kx::RunOutcome outcome = kx::RunOutcome::Running;
        std::string text; // the script's path, or its output
        kx::ScriptEnd end{};
    };

    void post(Write::Kind kind, kx::JournalTime at, kx::RunOutcome outcome = {},
              std::string text = {}, const kx::ScriptEnd& end = {}, bool wake = true) {
        if (!writer_.joinable()) {
            Write write{kind, at, outcome, std::move(text), end};
            if (journal_ && !apply(write))
                fail();
            return;
        }
        {
            const std::lock_guard lock(mutex_);
            queue_.push_back({kind, at, outcome, std::move(text), end});
        }
        if (wake)
            queued_.notify_one();
    }

    void openJournal(const std::string& path) {
        journal_.emplace(kx::Journal::Access::Write, path);
        if (!journal_->isOpen())
            fail();
    }
    // The writer thread.
    void write(const std::string& path) {
        openJournal(path);
        std::vector<Write> batch;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                queued_.wait(lock, [&] { return closing_ || !queue_.empty(); });
                if (queue_.empty())
                    return;
                batch.swap(queue_);
            }
            if (journal_) {
                const bool together = batch.size() > 1;
                bool written = !together || journal_->beginWrites();
                for (Write& each : batch)
                    written = written && apply(each);
                if (!(written && (!together || journal_->commitWrites())))
                    fail();
            }
            batch.clear();
        }
    }
    bool apply(Write& write) {
        kx::Journal& journal = *journal_;
        switch (write.kind) {
        case Write::BeginRun:
            run_ = journal.beginRun(set_, ::getpid(), write.at);
            return run_.has_value();
        case Write::FinishRun:
            return !run_ || journal.finishRun(*run_, write.outcome, write.at);
        case Write::Skipped:
            return journal.recordSkipped(set_, ::getpid(), write.at);
        case Write::BeginScript:
            script_ = run_ ? journal.beginScript(*run_, write.text, write.at) : std::nullopt;
            return !run_ || script_.has_value();
        case Write::FinishScript:
            write.end.output = write.text;
            return !script_ ||
                   journal.finishScript(*std::exchange(script_, std::nullopt), write.end);
        }
        return false;
    }
    void fail() {
        logOnce("the run is not recorded: " + journal_->errorText());
        journal_.reset();
    }

    const std::string set_;
    bool logged_ = false;
    // The writer's alone (our main thread's when there is none).
    std::optional<kx::Journal> journal_;
    std::optional<std::int64_t> run_;
    std::optional<std::int64_t> script_;
    // Shared.
    std::mutex mutex_;
    std::condition_variable queued_;
    std::vector<Write> queue_;
    bool closing_ = false;
    std::thread writer_;
};

// Our standard output as the scripts' shared destination: a reader that went away, or one that
// stalls us past a cancel, ends the passing on, never the run.
class PassOn {
public:
    void write(std::string_view bytes) {
        while (open_ && !bytes.empty()) {
            const ssize_t put = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
            if (put < 0 && errno == EINTR && !stopSignal)
                continue;
            if (put <= 0) {
                open_ = false;
                return;
            }
            bytes.remove_prefix(static_cast<std::size_t>(put));
        }
    }

private:
    bool open_ = true;
};

struct Outcome {
    bool succeeded = false;
    kx::ScriptEnd end; // its output is filled in from `output` by the caller
    std::string output;
};

// Reads the script's output until it has exited. Output still buffered in the pipe then is
// read, but not output that a process it left behind keeps writing.
void collectOutput(int output, int process, int wakeRead, kx::journal::OutputTail& tail,
                   PassOn& passOn, const std::function<void()>& onCancel) {
    std::array<char, 65536> buffer;
    const auto readSome = [&]() {
        const ssize_t got = kx::readSome(output, buffer.data(), buffer.size());
        if (got > 0) {
            const std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
            tail.append(bytes);
            passOn.write(bytes);
        }
        return got;
    };
    bool exited = false;
    bool cancelNoted = false;
    while (!exited) {
        std::array<pollfd, 3> watched{
            {{output, POLLIN, 0}, {process, POLLIN, 0}, {wakeRead, POLLIN, 0}}};
        const int ready = ::poll(watched.data(), watched.size(), -1);
        if (stopSignal && !cancelNoted) {
            cancelNoted = true;
            onCancel();
        }
        if (ready < 0)
            continue; // EINTR: the stop was noted above
        if (watched[2].revents) {
            char drained[16];
            while (::read(wakeRead, drained, sizeof drained) > 0) {
            }
        }
        if (watched[0].revents) {
            const ssize_t got = readSome();
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                output = -1; // the end of the output: with no process handle, the end of the script
                exited = process < 0;
            }
        }
        if (watched[1].revents)
            exited = true;
    }
    // What the script wrote before it exited; a bounded number of reads, so that a descendant
    // left writing cannot hold us here.
    for (int reads = 0; output >= 0 && reads < 64 && readSome() > 0; ++reads) {
    }
}

Outcome runScript(const std::string& script, int wakeRead, PassOn& passOn,
                  const std::function<void()>& onCancel) {
    Outcome outcome;
    kx::journal::OutputTail tail;
    kx::Task task;
    task.setLaunchPath(script);
    // Not our terminal: a script that reads it would be stopped (SIGTTIN) and then deaf to the
    // terminate of a cancel.
    task.setStandardInput(kx::Stdio::nullDevice());
    kx::FileDescriptor readEnd;
    kx::FileDescriptor writeEnd;
    // Without a pipe the script still runs, its output going straight to ours.
    const bool captured = kx::openPipe(readEnd, writeEnd);
    if (captured) {
        // One pipe for both, so that the two streams keep their order.
        task.setStandardOutput(kx::Stdio::file(writeEnd.get()));
        task.setStandardError(kx::Stdio::file(writeEnd.get()));
    }
    const std::error_code error = task.launch();
    writeEnd.reset(); // the script's alone now: its exit ends the output
    if (error) {
        const std::string why = "periodic: cannot run " + script + ": " + error.message() + "\n";
        std::fputs(why.c_str(), stderr);
        // The journal then tells why the script has no output of its own.
        outcome.end = {now(), 127, std::nullopt, {}, 0};
        outcome.output = why;
        return outcome;
    }
    // Started a moment after a stop reached our group: it missed the terminate the group got.
    if (stopSignal)
        task.terminate();
    const pid_t pid = task.processIdentifier();
    // Ours until we reap it, so the pid cannot be another process's yet.
    kx::FileDescriptor handle = kx::openProcessHandle(pid);
    if (captured) {
        ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
        collectOutput(readEnd.get(), handle.get(), wakeRead, tail, passOn, onCancel);
        readEnd.reset();
    }
    // Looked at before the task reaps it: an exit status of 143 and a SIGTERM are told apart.
    siginfo_t info{};
    const bool known = handle && kx::waitForChild(handle.get(), pid, &info, WEXITED | WNOWAIT) == 0;
    handle.reset();
    task.waitUntilExit();
    const int status = task.terminationStatus();
    outcome.succeeded = status == 0;
    outcome.end.ended = now();
    if (known && (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED))
        outcome.end.signal = info.si_status;
    else if (known)
        outcome.end.exitStatus = info.si_status;
    else if (status >= 0)
        outcome.end.exitStatus = status;
    outcome.output = tail.tail();
    outcome.end.omittedBytes = tail.omitted();
    return outcome;
}

// Standard streams that are closed would otherwise be taken by the first descriptors we open,
// and our output would go into our own pipe.
void keepStandardStreamsOpen() {
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int opened = ::open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                ::dup2(opened, fd);
                ::close(opened);
            }
        }
}

bool installStopHandlers(int& wakeRead) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    wakeRead = ends[0];
    wakeWrite = ends[1];
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a write stalled on our output gives way to a stop
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    keepStandardStreamsOpen();
    if (argc != 2) {
        std::fputs("usage: periodic NAME\n", stderr);
        return 2;
    }
    const std::string name = argv[1];
    const char* rootVariable = std::getenv("VIVOZI_PERIODIC_ROOT");
    const std::string folder =
        kx::maintenanceSetFolder(rootVariable && *rootVariable ? rootVariable : "/etc", name);
    if (folder.empty()) {
        std::fprintf(stderr, "periodic: unknown maintenance set '%s'\n", argv[1]);
        return 2;
    }

    setenv("PATH", kDefaultPath, /*overwrite=*/0);
    // As run-parts: what the scripts create is not writable by others, whatever our caller's mask.
    umask(022);
    // A reader of our output that went away ends the passing on, not the run.
    std::signal(SIGPIPE, SIG_IGN);
    int wakeRead = -1;
    installStopHandlers(wakeRead);

    const char* journalVariable = std::getenv("VIVOZI_JOURNAL");
    const std::string requested =
        journalVariable && *journalVariable ? journalVariable : kx::journalPath();
    std::string why;
    int number = 0;
    const std::optional<std::string> journalFile =
        kx::journal::checkedJournalFile(requested, /*create=*/true, why, number);
    Record record(name);
    const kx::journal::RunLock lock(journalFile.value_or(""), name);
    if (lock.state() == kx::journal::RunLock::State::Busy) {
        if (lock.holder())
            std::fprintf(stderr, "periodic: set '%s' is already running (pid %d)\n", name.c_str(),
                         static_cast<int>(lock.holder()));
        else
            std::fprintf(stderr, "periodic: set '%s' is already running\n", name.c_str());
        record.open(*journalFile);
        record.skipped();
        return kAlreadyRunning;
    }
    if (!journalFile)
        record.logOnce("the run is not recorded: " + why);
    else if (lock.state() == kx::journal::RunLock::State::Unavailable)
        record.logOnce("runs of the set are not kept apart: no lock beside " + *journalFile);
    if (journalFile)
        record.open(*journalFile);

    record.beginRun();
    const kx::SetListing listing = kx::listMaintenanceSet(folder);
    if (listing.error) {
        std::fprintf(stderr, "periodic: failed to open directory %s: %s\n", folder.c_str(),
                     listing.error.message().c_str());
        record.finishRun(kx::RunOutcome::Failed);
        return 1;
    }
    PassOn passOn;
    const std::function<void()> onCancel = [&] { record.finishRun(kx::RunOutcome::Cancelled); };
    bool allSucceeded = true;
    for (const std::string& script : listing.scripts) {
        if (stopSignal)
            break;
        record.beginScript(script);
        Outcome outcome = runScript(script, wakeRead, passOn, onCancel);
        record.finishScript(outcome.end, std::move(outcome.output));
        allSucceeded = outcome.succeeded && allSucceeded;
    }
    if (const int signal = stopSignal) {
        record.finishRun(kx::RunOutcome::Cancelled);
        record.finish();
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    record.finishRun(allSucceeded ? kx::RunOutcome::Succeeded : kx::RunOutcome::Failed);
    return allSucceeded ? 0 : 1;
}
