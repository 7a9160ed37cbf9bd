#include "platform/files/PrivateTemporaryFile.h"
#include "privacy/PrivacyRows.h"
#include "version/MacOSGate.h"

#include <VivoziZevidodirid/Privacy.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Task.h>
#include <paths.h>
#include <sys/stat.h>

namespace {

// Recognisable as this check's file, but unique and private to each check, so overlapping checks
// never read each other's rows and nobody can plant a link for it to write through.
constexpr std::string_view kTemporaryPrefix = "orbelFDAtemp.";

// The tool would wait for ever on a FIFO, and nothing but a file holds a database.
bool isRegularFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The rows of the privacy database in sqlite3's quote mode, or nullopt when nothing came back.
std::optional<std::string> queryPrivacyRows(const kx::SystemPaths& paths,
                                            const kx::PrivateTemporaryFile& output) {
    kx::Task task;
    task.setLaunchPath(paths.sqlite3);
    // No user configuration (~/.sqliterc could change the mode or send the rows elsewhere).
    // Quote mode prints every field as an SQL literal, so no client path or csreq blob can
    // break or forge a row, and every byte comes back intact. A writer holding the database is
    // waited for a moment rather than read as "no rows".
    task.setArguments({"-init", _PATH_DEVNULL, "-quote", "-cmd", ".timeout 2000",
                       paths.privacyDatabase, "SELECT * from access;"});
    // The environment stays the caller's: the tool may need locale settings.
    task.setStandardOutput(kx::Stdio::file(output.descriptor()));
    task.setStandardInput(kx::Stdio::nullDevice());
    task.setStandardError(kx::Stdio::nullDevice());
    if (!task.launch())
        task.waitUntilExit();
    if (output.size() == 0)
        return std::nullopt;
    return output.contents();
}

} // namespace

bool isFullDiskAccessSetup() {
    if (vz::runningMacOSOlderThan("10.14"))
        return false;
    const kx::SystemPaths paths = kx::systemPaths();
    if (!isRegularFile(paths.privacyDatabase))
        return false;
    // Removed when it goes out of scope, on every path.
    const auto output =
        kx::PrivateTemporaryFile::create(paths.temporaryDirectory, kTemporaryPrefix);
    if (!output)
        return false;
    const auto rows = queryPrivacyRows(paths, *output);
    return rows && vz::allClientsGranted(*rows, vz::configuredFdaClientSet());
}
