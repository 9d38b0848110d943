// Replaced outputs are freed off the caller's thread: the old file must still
// be let go of for good (no descriptor left open here, nor in a child forked
// while its close was pending), and a file with another name must not be
// touched at all.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "stream/deferred_close.hpp"
#include "stream_test_support.hpp"
#include "test_support.hpp"

namespace brinewick::stream {
namespace {

using test_support::slurp;
using test_support::spit;
using test_support::TempDir;

// Descriptors of this process that still name a file under `dir` (its name
// shown with " (deleted)" once unlinked).
std::vector<std::string> descriptors_under(const std::string& dir) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.rfind(dir, 0) == 0) found.push_back(target);
    }
    return found;
}

StreamSummary salvage_over(const TempDir& dir, const std::string& input) {
    spit(dir.file("in.csv"), input);
    StreamPaths paths{dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), std::nullopt};
    StreamSettings settings;
    settings.durable = false;
    StreamControl control;
    auto result = stream_salvage(paths, settings, control);
    EXPECT_TRUE(std::holds_alternative<StreamSummary>(result));
    return std::get<StreamSummary>(result);
}

TEST(DeferredClose, ReplacedOutputsAreReleased) {
    const TempDir dir;
    // Outputs that exist (one large), then the same salvage again over them.
    spit(dir.file("out.csv"), std::string(3u << 20, 'x'));
    spit(dir.file("q.csv"), "old records\n");
    salvage_over(dir, "a,b\n1,2\n3\n");
    salvage_over(dir, "a,b\n5,6\n");
    EXPECT_EQ(slurp(dir.file("out.csv")), "a,b\n5,6\n");
    EXPECT_EQ(slurp(dir.file("q.csv")), "line,byte_offset,reason,raw\n");
    wait_for_pending_closes();
    EXPECT_EQ(descriptors_under(dir.path()), std::vector<std::string>{});
}

TEST(DeferredClose, HardLinkedOutputKeepsItsOtherName) {
    const TempDir dir;
    spit(dir.file("out.csv"), "kept under the other name\n");
    ASSERT_EQ(::link(dir.file("out.csv").c_str(), dir.file("other.csv").c_str()), 0);
    salvage_over(dir, "a,b\n1,2\n");
    wait_for_pending_closes();
    EXPECT_EQ(slurp(dir.file("out.csv")), "a,b\n1,2\n");
    EXPECT_EQ(slurp(dir.file("other.csv")), "kept under the other name\n");
    EXPECT_EQ(descriptors_under(dir.path()), std::vector<std::string>{});
}

// Forks right after each hand-over, so that some forks come while the close
// is pending and some after it: the child must hold no copy either way, and
// must close nothing else that took the descriptor's number.
TEST(DeferredClose, ForkedChildHoldsNoPendingDescriptor) {
    const TempDir dir;
    for (int round = 0; round < 40; ++round) {
        const std::string name = dir.file("gone" + std::to_string(round));
        spit(name, "bytes");
        const int fd = ::open(name.c_str(), O_PATH | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::unlink(name.c_str()), 0);
        close_later(fd);
        // Often reuses the number at once, after a close on the helper.
        const int other = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(other, 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Exit status: 1 when the unlinked file is still open, 2 when the other descriptor was closed.
            bool held = false;
            for (const std::string& target : descriptors_under(dir.path())) {
                held = held || target.find("(deleted)") != std::string::npos;
            }
            struct stat status {};
            ::_exit(held ? 1 : ::fstat(other, &status) != 0 ? 2 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round;
        ::close(other);
    }
    wait_for_pending_closes();
    EXPECT_EQ(descriptors_under(dir.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace brinewick::stream
