// periodic NAME: runs the maintenance set NAME, the Linux stand-in for the macOS tool.
//
// The set is every executable regular file (links followed) in $ROOT/periodic/NAME/ when that
// folder exists, else in $ROOT/cron.NAME/, where ROOT is $VIVOZI_PERIODIC_ROOT or /etc. Scripts
// run one at a time in byte order of their names. As run-parts does by default, only names made
// of ASCII letters, digits, '_' and '-' are run, so that package leftovers ("x.dpkg-old"),
// editor backups ("x~") and hidden files are not. Each script inherits our standard output and
// error, environment and process group (whoever stops our group stops the script now running
// too), reads the null device, and runs under umask 022. A set folder that cannot be listed
// fails the set.
//
// Exit status: 0 when every script exited 0 (an empty set included), 1 otherwise, 2 for a bad
// command line or an unknown set, each with one line on standard error.
#include <VivoziZevidodirid/Task.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// With an empty environment (as the library starts us) scripts would otherwise find nothing.
constexpr char kDefaultPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

bool isPlainName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

bool isExecutableFile(const fs::path& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || !fs::is_regular_file(status))
        return false;
    constexpr fs::perms anyExecute =
        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    return (status.permissions() & anyExecute) != fs::perms::none;
}

// nullopt when the folder cannot be listed to its end: a set read in part is not a set run.
std::optional<std::vector<fs::path>> scriptsIn(const fs::path& folder) {
    std::vector<fs::path> scripts;
    std::error_code error;
    fs::directory_iterator entry(folder, error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        const fs::path& path = entry->path();
        if (isPlainName(path.filename().native()) && isExecutableFile(path))
            scripts.push_back(path);
    }
    if (error) {
        std::fprintf(stderr, "periodic: failed to open directory %s: %s\n", folder.c_str(),
                     error.message().c_str());
        return std::nullopt;
    }
    std::sort(scripts.begin(), scripts.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().native() < b.filename().native();
    });
    return scripts;
}

// 0 when the script ran and exited 0.
bool runScript(const fs::path& script) {
    kx::Task task;
    task.setLaunchPath(script.native());
    // Not our terminal: a script that reads it would be stopped (SIGTTIN) and then deaf to the
    // terminate of a cancel.
    task.setStandardInput(kx::Stdio::nullDevice());
    if (const std::error_code error = task.launch()) {
        std::fprintf(stderr, "periodic: cannot run %s: %s\n", script.c_str(),
                     error.message().c_str());
        return false;
    }
    task.waitUntilExit();
    return task.terminationStatus() == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: periodic NAME\n", stderr);
        return 2;
    }
    const std::string_view name = argv[1];
    const char* rootVariable = std::getenv("VIVOZI_PERIODIC_ROOT");
    const fs::path root = rootVariable && *rootVariable ? rootVariable : "/etc";

    fs::path folder;
    std::error_code error;
    if (isPlainName(name)) {
        if (fs::is_directory(root / "periodic" / name, error))
            folder = root / "periodic" / name;
        else if (fs::is_directory(root / ("cron." + std::string(name)), error))
            folder = root / ("cron." + std::string(name));
    }
    if (folder.empty()) {
        std::fprintf(stderr, "periodic: unknown maintenance set '%s'\n", argv[1]);
        return 2;
    }

    setenv("PATH", kDefaultPath, /*overwrite=*/0);
    // As run-parts: what the scripts create is not writable by others, whatever our caller's mask.
    umask(022);
    const std::optional<std::vector<fs::path>> scripts = scriptsIn(folder);
    if (!scripts)
        return 1;
    bool allSucceeded = true;
    for (const fs::path& script : *scripts)
        allSucceeded = runScript(script) && allSucceeded;
    return allSucceeded ? 0 : 1;
}
