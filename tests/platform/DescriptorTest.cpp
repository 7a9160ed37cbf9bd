#include "platform/files/Descriptor.h"

#include "support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <pthread.h>
#include <thread>

namespace {

bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

struct Pipe {
    kx::FileDescriptor in;
    kx::FileDescriptor out;
    Pipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2");
        in.reset(ends[0]);
        out.reset(ends[1]);
    }
};

// Interrupts the constructing thread with a signal whose handler does not restart system calls,
// twenty times over 40 ms, and then runs `then` on its own thread.
class Interrupter {
public:
    explicit Interrupter(std::function<void()> then) : target_(pthread_self()) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigaction(SIGUSR2, &action, &previous_);
        thread_ = std::thread([this, then] {
            for (int i = 0; i < 20; ++i) {
                pthread_kill(target_, SIGUSR2);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            then();
        });
    }
    ~Interrupter() {
        thread_.join();
        sigaction(SIGUSR2, &previous_, nullptr);
    }

private:
    pthread_t target_;
    struct sigaction previous_ {};
    std::thread thread_;
};

TEST(FileDescriptor, OwnsExactlyOneDescriptor) {
    Pipe pipe;
    const int first = pipe.in.get();
    const int second = pipe.out.get();

    kx::FileDescriptor moved(std::move(pipe.in));
    EXPECT_FALSE(pipe.in);
    EXPECT_EQ(moved.get(), first);
    kx::FileDescriptor& alias = moved;
    moved = std::move(alias); // a self-move keeps it
    EXPECT_TRUE(isOpen(first));
    moved.reset(first); // as does taking the one it holds
    EXPECT_TRUE(isOpen(first));

    moved = std::move(pipe.out); // closes the one it held
    EXPECT_FALSE(isOpen(first));
    EXPECT_EQ(moved.get(), second);
    const int released = moved.release();
    EXPECT_FALSE(moved);
    EXPECT_TRUE(isOpen(released));
    close(released);
}

TEST(Descriptor, ReadAllStopsAtEndOfFileOrTheLimit) {
    const std::string text(200'000, 'x'); // more than one read's worth
    // The limit counts what the string held before: "kept:", 5 bytes.
    const struct {
        std::size_t limit;
        std::size_t got;
    } cases[] = {{std::string::npos, text.size()}, {5, 0}, {70'005, 70'000}};
    for (const auto& c : cases) {
        vztest::TempDir dir;
        vztest::writeFile(dir.file("f"), text);
        const kx::FileDescriptor fd(open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC));
        std::string bytes = "kept:";
        EXPECT_TRUE(kx::readAll(fd.get(), bytes, c.limit));
        EXPECT_TRUE(bytes.starts_with("kept:"));
        EXPECT_EQ(bytes.size(), 5 + c.got);
        // What lies past the limit is left for the next read.
        std::string rest;
        EXPECT_TRUE(kx::readAll(fd.get(), rest));
        EXPECT_EQ(rest.size(), text.size() - c.got);
    }
    std::string bytes;
    const kx::FileDescriptor folder(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_FALSE(kx::readAll(folder.get(), bytes));
    EXPECT_FALSE(kx::readAll(-1, bytes));
}

TEST(Descriptor, ReadAllAtLeavesThePositionAlone) {
    vztest::TempDir dir;
    vztest::writeFile(dir.file("f"), "0123456789");
    const kx::FileDescriptor fd(open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(lseek(fd.get(), 7, SEEK_SET), 7);
    std::string bytes;
    EXPECT_TRUE(kx::readAllAt(fd.get(), 2, bytes));
    EXPECT_EQ(bytes, "23456789");
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 7);
}

// A signal that interrupts a blocked read or write costs neither bytes nor the call.
TEST(Descriptor, InterruptedReadsAndWritesGoOn) {
    {
        Pipe pipe;
        std::string bytes;
        {
            Interrupter late([&] {
                kx::writeAll(pipe.out.get(), "late");
                pipe.out.reset();
            });
            EXPECT_TRUE(kx::readAll(pipe.in.get(), bytes));
        }
        EXPECT_EQ(bytes, "late");
    }
    {
        Pipe pipe;
        const std::string text(1 << 20, 'y'); // more than the pipe holds
        std::string drained;
        {
            Interrupter reader([&] { kx::readAll(pipe.in.get(), drained); });
            EXPECT_TRUE(kx::writeAll(pipe.out.get(), text));
            pipe.out.reset();
        }
        EXPECT_EQ(drained.size(), text.size());
    }
    Pipe full;
    fcntl(full.out.get(), F_SETFL, O_NONBLOCK);
    EXPECT_FALSE(kx::writeAll(full.out.get(), std::string(1 << 20, 'z')));
    EXPECT_EQ(errno, EAGAIN);
}

} // namespace
