// The defaults store on a folder that cannot be written: read-only, or full. The answers come
// back all the same, and the store and its folder are left as they were.
#include "support/SystemVersion.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/Version.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <ostream>
#include <sched.h>
#include <set>
#include <sys/mount.h>
#include <tuple>
#include <unistd.h>

namespace {

// A small tmpfs at path for one scope, in a mount namespace of this thread's own, so that no
// other process sees it and it cannot outlive the test process. Tools started from this thread
// share the namespace.
class ScopedTmpfs {
public:
    ScopedTmpfs(const std::string& path, const std::string& options) : path_(path) {
        static const int unshared = [] {
            if (unshare(CLONE_NEWNS) != 0)
                return errno;
            // Mounts made from now on stay in this namespace.
            return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : errno;
        }();
        if (unshared != 0) {
            why_ = std::string("cannot have a mount namespace: ") + std::strerror(unshared);
            return;
        }
        std::filesystem::create_directories(path);
        if (mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            why_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
    }
    ~ScopedTmpfs() {
        if (why_.empty())
            umount2(path_.c_str(), MNT_DETACH);
    }
    const std::string& failure() const { return why_; } // empty once mounted
    bool makeReadOnly() {
        return mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string path_;
    std::string why_;
};

std::set<std::string> entries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// Fills the file system holding folder until a write fails for want of space.
void fill(const std::string& folder) {
    const int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    close(fd);
}

struct StoreCase {
    const char* name;
    std::string content; // the store file before; "" for none
};

void PrintTo(const StoreCase& store, std::ostream* out) {
    *out << store.name;
}

const StoreCase kStores[] = {
    {"WithoutTheVersionKeys", PlistValue(PlistValue::Dictionary{{"Other", "kept"}}).xml()},
    {"NoStoreFileYet", ""},
    {"Damaged", "<plist><dict><key>half"},
};

class DefaultsStoreFaults : public ::testing::TestWithParam<std::tuple<bool, StoreCase>> {
protected:
    vztest::ScopedSystemVersion version_{"13.5"};
    vztest::TempDir dir_;
    vztest::ScopedSystemPaths paths_;
};

TEST_P(DefaultsStoreFaults, AnswersComeBackAndTheStoreSurvives) {
    const auto& [readOnly, storeCase] = GetParam();
    const std::string folder = dir_.file("store");
    const std::string store = folder + "/defaults.plist";
    const std::string& content = storeCase.content;
    ScopedTmpfs tmpfs(folder, readOnly ? "size=256k" : "size=64k");
    if (!tmpfs.failure().empty())
        GTEST_SKIP() << tmpfs.failure();
    if (!content.empty())
        vztest::writeFile(store, content);
    if (readOnly)
        ASSERT_TRUE(tmpfs.makeReadOnly());
    else
        fill(folder);
    paths_.edit().userDefaults = store;
    paths_.apply();
    const auto before = entries(folder);

    // Each query answers from the tool, whether or not the store took the answer.
    EXPECT_EQ(KXGetCurrentSystemString(), "13.5");
    EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.13"), 1);
    EXPECT_EQ(KXGetCurrentSystemDictionary(),
              PlistValue(PlistValue::Dictionary{{"BuildVersion", "0T0"},
                                                {"ProductName", "Vivozi Test"},
                                                {"ProductVersion", "13.5"}}));
    if (readOnly) {
        EXPECT_EQ(entries(folder), before);
        EXPECT_EQ(vztest::readFile(store), content);
        return;
    }
    // Full: the lock file may appear (it needs no space); no half-written store may, and the
    // store's content survives in place or, a damaged one, set aside beside it.
    bool keptAside = false;
    for (const std::string& name : entries(folder)) {
        EXPECT_FALSE(name.starts_with(".defaults.plist.")) << name;
        if (name.starts_with("defaults.plist.damaged-"))
            keptAside = vztest::readFile(folder + "/" + name) == content;
    }
    if (vztest::fileExists(store))
        EXPECT_EQ(vztest::readFile(store), content);
    else
        EXPECT_TRUE(content.empty() || keptAside);
}

INSTANTIATE_TEST_SUITE_P(Stores, DefaultsStoreFaults,
                         ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kStores)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "ReadOnly" : "Full") +
                                    std::get<1>(info.param).name;
                         });

} // namespace
