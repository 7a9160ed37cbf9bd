#include "platform/files/PrivateTemporaryFile.h"
#include "privacy/PrivacyRows.h"

#include <VivoziZevidodirid/Privacy.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Task.h>
#include <VivoziZevidodirid/Version.h>
#include <algorithm>

namespace {

// Recognisable as this check's file, but unique and private to each check, so overlapping checks
// never read each other's rows and nobody can plant a link for it to write through.
constexpr std::string_view kTemporaryPrefix = "orbelFDAtemp.";

// The rows of the privacy database as the sqlite3 tool lists them, or nullopt when nothing usable
// came back.
std::optional<std::string> queryPrivacyRows(const kx::SystemPaths& paths,
                                            const kx::PrivateTemporaryFile& output) {
    kx::Task task;
    task.setLaunchPath(paths.sqlite3);
    task.setArguments(
        {"-line", "-list", "-newline", "\n", paths.privacyDatabase, "SELECT * from access;"});
    // The environment stays the caller's: the tool may need HOME or locale settings.
    task.setStandardOutput(kx::Stdio::file(output.descriptor()));
    task.setStandardInput(kx::Stdio::nullDevice());
    task.setStandardError(kx::Stdio::nullDevice());
    if (!task.launch())
        task.waitUntilExit();
    if (output.size() == 0)
        return std::nullopt;
    auto rows = output.contents();
    // Text that is not ASCII yields no lines.
    if (!rows || std::any_of(rows->begin(), rows->end(),
                             [](char c) { return static_cast<unsigned char>(c) > 127; }))
        return std::nullopt;
    return rows;
}

} // namespace

bool isFullDiskAccessSetup() {
    if (KXCompareCurrentSystemVersionWith("10.14") == -1)
        return false;
    const kx::SystemPaths paths = kx::systemPaths();
    // Removed when it goes out of scope, on every path.
    const auto output =
        kx::PrivateTemporaryFile::create(paths.temporaryDirectory, kTemporaryPrefix);
    if (!output)
        return false;
    const auto rows = queryPrivacyRows(paths, *output);
    return rows && vz::allClientsGranted(*rows, vz::configuredFdaClientSet());
}
