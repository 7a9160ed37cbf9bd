// A program built against an installed VivoziZevidodirid, as a user of the library builds one.
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <cstdio>
#include <string>

// Arguments: the installed stand-ins' folder, and a defaults file for the version cache. An
// installed tree that was put under another prefix than the one it was built for tells the
// library where its tools are, as any host with its own layout does.
int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: consumer LIBEXEC_DIR DEFAULTS_FILE\n", stderr);
        return 2;
    }
    kx::SystemPaths paths = kx::systemPaths();
    paths.periodic = std::string(argv[1]) + "/periodic";
    paths.swVers = std::string(argv[1]) + "/sw_vers";
    paths.diskutil = std::string(argv[1]) + "/diskutil";
    paths.userDefaults = argv[2];
    kx::setSystemPaths(paths);

    int failures = 0;
    const auto check = [&failures](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "consumer: %s\n", what);
            ++failures;
        }
    };
    check(VivoziZevidodiridVersionNumber == 1.0, "version number");
    check(KXGetCurrentSystemString().value_or("").size() > 0, "version from the sw_vers stand-in");
    check(KXFoundationConvertBytesToStringValue(1536.0) == "1.54 KB", "size text");
    const PlistValue parsed = PlistValue::parse(
        "<plist version=\"1.0\"><dict><key>a</key><integer>7</integer></dict></plist>");
    check(parsed["a"].integerValue() == 7, "property-list parse");
    check(!getVolumeMountFromName("/").value_or("").empty(), "root mount lookup");
    std::printf("consumer: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
