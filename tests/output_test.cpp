// Output that never waits: a pipe that nobody reads takes what it can, the rest waits in a
// bounded queue in order, what does not fit is dropped whole and counted, and the descriptor
// shared with others keeps its flags.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "output.hpp"

namespace livedelay {
namespace {

std::string read_all(int fd) {
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

class UnreadPipe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);  // our reads of it only
        flags_before = fcntl(ends[1], F_GETFL);
        open_output_queue(q, ends[1]);
    }
    void TearDown() override {
        close(ends[0]);
        close(ends[1]);
        if (q.fd != ends[1]) {
            close(q.fd);
        }
    }

    int ends[2] = {-1, -1};
    int flags_before = 0;
    output_queue q;
};

// Lines written into a pipe that nobody reads: none waits, those past the pipe and the queue
// are dropped whole, and once it is read, everything kept comes out whole and in order, then
// the count of the rest.
TEST_F(UnreadPipe, KeepsWhatFitsInOrderAndCountsTheRest) {
    EXPECT_EQ(q.way, write_way::own);
    constexpr int lines = 20000;
    for (int i = 0; i < lines; ++i) {
        const std::string line = "\nTime delay ~ " + std::to_string(i) + " sec\n";
        put_output(q, line.data(), line.size());
    }
    EXPECT_GT(q.dropped_writes, 0);
    EXPECT_GT(q.queued, output_queue_bytes - 64);
    EXPECT_EQ(fcntl(ends[1], F_GETFL), flags_before) << "the shared descriptor was changed";

    std::string got;
    for (int look = 0; look < 3; ++look) {
        got += read_all(ends[0]);
        flush_queue(q);
    }
    got += read_all(ends[0]);
    EXPECT_EQ(q.queued, 0u);
    int kept = 0;
    size_t at = 0;
    for (const std::string head = "\nTime delay ~ "; got.compare(at, head.size(), head) == 0;
         ++kept) {
        const std::string line = head + std::to_string(kept) + " sec\n";
        ASSERT_EQ(got.compare(at, line.size(), line), 0) << "line " << kept << " was cut or lost";
        at += line.size();
    }
    EXPECT_EQ(got.substr(at), "\n" + std::to_string(lines - kept) +
                                  " lines of output dropped: nothing was reading them\n");
}

// A reader that has gone: nothing more is written, and nothing fails or waits.
TEST_F(UnreadPipe, AReaderThatLeftEndsTheWriting) {
    signal(SIGPIPE, SIG_IGN);  // as the program has it
    close(ends[0]);
    ends[0] = open("/dev/null", O_RDONLY);
    put_output(q, "gone\n", 5);
    EXPECT_EQ(q.way, write_way::discarded);
    put_output(q, "still gone\n", 11);
    EXPECT_EQ(q.queued, 0u);
}

}  // namespace
}  // namespace livedelay
