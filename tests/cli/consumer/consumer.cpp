// A program built against an installed VivoziZevidodirid, as a user of the library builds one.
// Arguments: the prefix it was installed under, a fresh defaults file for the version cache, and
// the version the installed sw_vers prints: the library finds its tools beside itself.
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: consumer PREFIX DEFAULTS_FILE VERSION\n", stderr);
        return 2;
    }
    kx::SystemPaths paths = kx::systemPaths();
    paths.userDefaults = argv[2];
    kx::setSystemPaths(paths);
    // A tool run by hand: the end of its output pipe comes back owned.
    kx::Task task;
    task.setLaunchPath(paths.swVers);
    task.setArguments({"-productVersion"});
    task.setStandardOutput(kx::Stdio::pipe());
    std::string printed;
    if (!task.launch()) {
        const kx::FileDescriptor output = task.takeStandardOutput();
        char buffer[256];
        for (ssize_t got; (got = read(output.get(), buffer, sizeof buffer)) > 0;)
            printed.append(buffer, static_cast<std::size_t>(got));
    }
    task.waitUntilExit();
    const PlistValue parsed = PlistValue::parse(
        "<plist version=\"1.0\"><dict><key>a</key><integer>7</integer></dict></plist>");
    int failures = 0;
    for (const auto& [ok, what] :
         {std::pair{VivoziZevidodiridVersionNumber == 1.0, "version number"},
          {paths.swVers.starts_with(std::string(argv[1]) + "/"), "sw_vers beside the library"},
          {KXGetCurrentSystemString() == argv[3], "version from the installed sw_vers"},
          {KXFoundationConvertBytesToStringValue(1536.0) == "1.54 KB", "size text"},
          {parsed["a"].integerValue() == 7, "property-list parse"},
          {!getVolumeMountFromName("/").value_or("").empty(), "root mount lookup"},
          {printed == std::string(argv[3]) + "\n", "tool output through an owned descriptor"}}) {
        if (!ok)
            std::fprintf(stderr, "consumer: %s\n", what);
        failures += !ok;
    }
    std::printf("consumer: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
