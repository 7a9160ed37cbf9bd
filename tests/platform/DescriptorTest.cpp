#include "platform/files/Descriptor.h"

#include "platform/process/ProcessSystem.h"
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
    kx::FileDescriptor in, out;
    Pipe() { EXPECT_TRUE(kx::openPipe(in, out)); }
};

// Runs `blocking` while another thread interrupts it twenty times over 40 ms, with a signal whose
// handler does not restart system calls, and then runs `then`.
void interrupted(const std::function<void()>& blocking, const std::function<void()>& then) {
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR2, &action, &previous);
    std::thread other([&, target = pthread_self()] {
        for (int i = 0; i < 20; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(2)))
            pthread_kill(target, SIGUSR2);
        then();
    });
    blocking();
    other.join();
    sigaction(SIGUSR2, &previous, nullptr);
}

TEST(FileDescriptor, OwnsExactlyOneDescriptor) {
    Pipe pipe;
    const int first = pipe.in.get(), second = pipe.out.get();
    kx::FileDescriptor moved(std::move(pipe.in));
    EXPECT_FALSE(pipe.in);
    EXPECT_EQ(moved.get(), first);
    kx::FileDescriptor& alias = moved;
    moved = std::move(alias); // a self-move keeps it
    moved.reset(first);       // as does taking the one it holds
    EXPECT_TRUE(isOpen(first));
    moved = std::move(pipe.out); // closes the one it held
    EXPECT_FALSE(isOpen(first));
    EXPECT_EQ(moved.get(), second);
    const int released = moved.release();
    EXPECT_FALSE(moved);
    EXPECT_TRUE(isOpen(released));
    close(released);
}

TEST(Descriptor, ReadsStopAtEndOfFileOrTheLimitAndLeaveThePositionAlone) {
    vztest::TempDir dir;
    const std::string text(200'000, 'x'); // more than one read's worth
    vztest::writeFile(dir.file("f"), text);
    // The limit counts what the string held before: "kept:", 5 bytes.
    const std::pair<std::size_t, std::size_t> cases[] = {
        {std::string::npos, text.size()}, {5, 0}, {70'005, 70'000}};
    for (const auto& [limit, got] : cases) {
        const kx::FileDescriptor fd(open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC));
        std::string bytes = "kept:", rest;
        EXPECT_TRUE(kx::readAll(fd.get(), bytes, limit));
        EXPECT_EQ(bytes, "kept:" + text.substr(0, got));
        EXPECT_TRUE(kx::readAll(fd.get(), rest)); // what lies past the limit is left for it
        EXPECT_EQ(rest.size(), text.size() - got);
    }
    const kx::FileDescriptor fd(open(dir.file("f").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(lseek(fd.get(), 7, SEEK_SET), 7);
    std::string bytes;
    EXPECT_TRUE(kx::readAllAt(fd.get(), 199'990, bytes));
    EXPECT_EQ(bytes.size(), 10u);
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 7);
    const kx::FileDescriptor folder(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_FALSE(kx::readAll(folder.get(), bytes));
    EXPECT_FALSE(kx::readAll(-1, bytes));
}

// A signal that interrupts a blocked read or write costs neither bytes nor the call.
TEST(Descriptor, InterruptedReadsAndWritesGoOn) {
    Pipe late, full, nonBlocking;
    std::string bytes, drained;
    bool written = false;
    interrupted([&] { EXPECT_TRUE(kx::readAll(late.in.get(), bytes)); },
                [&] { kx::writeAll(late.out.get(), "late"), late.out.reset(); });
    EXPECT_EQ(bytes, "late");
    const std::string text(1 << 20, 'y'); // more than the pipe holds
    interrupted([&] { written = kx::writeAll(full.out.get(), text), full.out.reset(); },
                [&] { kx::readAll(full.in.get(), drained); });
    EXPECT_TRUE(written);
    EXPECT_EQ(drained.size(), text.size());
    fcntl(nonBlocking.out.get(), F_SETFL, O_NONBLOCK);
    EXPECT_FALSE(kx::writeAll(nonBlocking.out.get(), text));
    EXPECT_EQ(errno, EAGAIN);
}

} // namespace
