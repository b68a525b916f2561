// The units log keeps every record on a line of its own, whatever happens to the file or the
// reader behind it: a line torn by an earlier run, a file that cannot grow, a reader that went away
// or stopped reading.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TempTree.h"
#include "os/Process.h"
#include "station/UnitsLog.h"

namespace vandrelux::station {
namespace {

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Record(char fill, std::size_t size) {
    return "{\"unit\":\"" + std::string(size, fill) + "\"}";
}

// Everything a non-blocking reader finds in the pipe now.
std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

TEST(UnitsLog, TornLastLine_NextRecordStandsAlone) {
    const test::TempTree tree;
    const std::string path = tree.File("units.jsonl", "{\"unit\":1}\n{\"unit\":2,\"ou");
    CUnitsLog log;
    ASSERT_FALSE(log.Open(path));
    ASSERT_FALSE(log.Append("{\"unit\":3}"));
    EXPECT_EQ(Read(path), "{\"unit\":1}\n{\"unit\":2,\"ou\n{\"unit\":3}\n");
}

TEST(UnitsLog, RecordPastTheFileSizeLimit_TakenBackThenWrittenWithTheNext) {
    platform::KeepRunningWhenWritesFail();
    const test::TempTree tree;
    const std::string path = tree.Path("units.jsonl");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    CUnitsLog log;
    ASSERT_FALSE(log.Open(path));
    ASSERT_FALSE(log.Append(Record('a', 100)));
    const std::string first = Read(path);

    rlimit small = saved;
    small.rlim_cur = first.size() + 50;  // the next record fits only in part
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto error = log.Append(Record('b', 100));
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EFBIG);
    EXPECT_EQ(Read(path), first);
    EXPECT_EQ(log.Waiting().size(), 1U);

    ASSERT_FALSE(log.Append(Record('c', 100)));
    EXPECT_EQ(Read(path), first + Record('b', 100) + "\n" + Record('c', 100) + "\n");
    EXPECT_TRUE(log.Waiting().empty());
}

TEST(UnitsLog, FifoReaderGoneOrStalled_RecordsWaitAndGoOnWholeInOrder) {
    platform::KeepRunningWhenWritesFail();
    const test::TempTree tree;
    const std::string path = tree.Path("units.fifo");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    CUnitsLog log;
    ASSERT_FALSE(log.Open(path));
    ::close(reader);
    const auto gone = log.Append(Record('a', 10));
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->code, EPIPE);

    // A reader that does not read: the pipe fills, a record stops part way, and the station
    // is not held up.
    reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    std::vector<std::string> sent{Record('a', 10)};
    std::optional<platform::SystemError> stalled;
    for (int i = 0; i < 200 && !stalled; ++i) {
        sent.push_back(Record(static_cast<char>('b' + i % 20), 1000));
        stalled = log.Append(sent.back());
    }
    ASSERT_TRUE(stalled);
    EXPECT_EQ(stalled->code, EAGAIN);
    std::string got = Drain(reader);
    sent.push_back(Record('z', 10));
    ASSERT_FALSE(log.Append(sent.back()));
    got += Drain(reader);
    ::close(reader);

    std::string expected;
    for (const std::string& record : sent) {
        expected += record + "\n";
    }
    EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace vandrelux::station
