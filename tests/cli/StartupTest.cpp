// What vivozi loads before it answers: a library a command does not use costs every run its
// loading, which dominates a short query's time beside `df`.
#include "Child.h"

#include <gtest/gtest.h>
#include <string>
#include <unicode/uvernum.h>

namespace {

using vztest::Finished;

// Everything the command line prints, both streams, and its exit status.
Finished both(const std::string& command) {
    return vztest::shell(command + " 2>&1");
}

TEST(VivoziStartup, LoadsOnlyWhatTheCommandUses) {
    for (const char* arguments : {"size 1", "", "df /"}) {
        // The dynamic loader's own account of every object it loaded, where it looked, and what
        // it bound.
        const std::string loaded =
            vztest::shell("LD_DEBUG=files,libs,bindings '" VIVOZI_BINARY "' " +
                          std::string(arguments) +
                          " 2>&1 >/dev/null | grep -oE 'file=[^ ]*|search path|ios_base4Init'")
                .out;
        // Nothing at all means the check itself is broken.
        ASSERT_NE(loaded.find("libVivoziZevidodirid"), std::string::npos) << loaded;
        // Our library by its place beside vivozi, the system's from the loader's cache.
        EXPECT_EQ(loaded.find("search path"), std::string::npos) << loaded;
        // Setting up iostreams costs a short query about 4% of its time.
        EXPECT_EQ(loaded.find("ios_base4Init"), std::string::npos) << loaded;
        for (const char* absent : {"libsystemd", "libicu", "libsqlite3"})
            EXPECT_EQ(loaded.find(absent), std::string::npos)
                << "vivozi " << arguments << " loaded " << absent << ":\n"
                << loaded;
    }
}

// The loader looks for libraries where vivozi's own files lie, never in the folder it is run from:
// a library planted there would run as the user who runs vivozi.
TEST(VivoziStartup, IgnoresLibrariesInTheCurrentFolder) {
    vztest::TempDir dir;
    for (const char* name : {"libstdc++.so.6", "libc.so.6", "libVivoziZevidodirid.so.1"})
        vztest::writeFile(dir.file(name), "not a library");
    const auto [status, out, err] = both("cd '" + dir.path() + "' && '" VIVOZI_BINARY "' size 1");
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "1 bytes\n");
}

// A library loaded on demand that cannot be loaded leaves its part without an answer, and
// nothing else: the run still runs, and a journal it cannot read is said to be unreadable.
TEST(VivoziStartup, WorksWithoutItsOnDemandLibraries) {
    vztest::TempDir dir;
    const std::string icu = std::to_string(U_ICU_VERSION_MAJOR_NUM);
    for (const std::string& name :
         {std::string("libsqlite3.so.0"), "libicuuc.so." + icu, "libicui18n.so." + icu})
        vztest::writeFile(dir.file(name), "not a library");
    const std::string vivozi =
        "VIVOZI_JOURNAL='" + dir.file("journal.sqlite") + "' '" VIVOZI_BINARY "' ";
    const std::string withoutThem = "LD_LIBRARY_PATH='" + dir.path() + "' " + vivozi;
    const std::string run = "run --demo --demo-dir '" + dir.file("demo") + "' daily";
    ASSERT_EQ(both(vivozi + run).status, 0);

    const auto [ranStatus, ran, ranErr] = both(withoutThem + run);
    EXPECT_EQ(ranStatus, 0) << ran;
    EXPECT_NE(ran.find("succeeded"), std::string::npos) << ran;
    const auto [statusExit, status, statusErr] = both(withoutThem + "status");
    EXPECT_EQ(statusExit, 1) << status;
    EXPECT_NE(status.find("cannot open journal"), std::string::npos) << status;
    // The run's own tools get the system's libraries, not the caller's: both runs are recorded.
    const auto [afterExit, after, afterErr] = both(vivozi + "history daily");
    EXPECT_EQ(afterExit, 0) << after;
    EXPECT_EQ(vztest::lines(after).size(), 3U) << after;
}

} // namespace
