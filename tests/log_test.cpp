// The log file as its own switch, at a path the tests choose, and the ways a
// hostile /tmp could try to misuse it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "diag/log.hpp"

namespace zq {
namespace {

constexpr const char* kStartLine = "### log is active now ### \n";

class LogSwitch : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zq-log-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/zwirbelton.log";
    }
    void TearDown() override
    {
        log_open_switch("/nonexistent-zq-dir/zwirbelton.log"); // off again, at a lasting path
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    void write_file(const std::string& content, const std::string& at = "")
    {
        std::ofstream(at.empty() ? path_ : at, std::ios::binary) << content;
    }
    std::string read_file(const std::string& at = "") const
    {
        std::ifstream f(at.empty() ? path_ : at, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    bool exists(const std::string& p) const
    {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0;
    }
    std::int32_t level() const { return log_level.load(); }

    std::string dir_;
    std::string path_;
};

TEST_F(LogSwitch, NoFileMeansOffAndNothingCreated)
{
    log_level = 5;
    log_open_switch(path_.c_str());
    EXPECT_EQ(level(), 0);
    EXPECT_FALSE(exists(path_));
}

TEST_F(LogSwitch, EmptyFileMeansLevelOneAndGetsTheStartLine)
{
    write_file("");
    log_open_switch(path_.c_str());
    EXPECT_EQ(level(), 1);
    EXPECT_EQ(read_file(), kStartLine);
}

TEST_F(LogSwitch, FirstIntegerSetsTheLevel)
{
    const struct {
        const char* content;
        std::int32_t level;
        bool line;
    } cases[] = {
        {"3\n", 3, true},
        {"  \t\n 7 apples", 7, true},
        {"+4", 4, true},
        {"0", 0, true},
        {"-2\n", -2, false},
        {"word 5", 1, true},
        {"-", 1, true},
        {"99999999999999999999", INT_MAX, true},
        {"-99999999999", INT_MIN, false},
        {"2147483647", INT_MAX, true},
        {"-2147483648", INT_MIN, false},
    };
    for (const auto& c : cases) {
        write_file(c.content);
        log_open_switch(path_.c_str());
        EXPECT_EQ(level(), c.level) << c.content;
        EXPECT_EQ(read_file(), std::string(c.content) + (c.line ? kStartLine : "")) << c.content;
    }
}

TEST_F(LogSwitch, EachSwitchAppendsAnotherLine)
{
    write_file("1\n");
    log_open_switch(path_.c_str());
    log_open_switch(path_.c_str());
    EXPECT_EQ(read_file(), std::string("1\n") + kStartLine + kStartLine);
    log_write(2, "not at level %d", 2);
    log_write(1, "at level %d", 1);
    EXPECT_EQ(read_file(), std::string("1\n") + kStartLine + kStartLine + "at level 1\n");
}

TEST_F(LogSwitch, SymbolicLinkIsNotFollowed)
{
    const std::string target = dir_ + "/precious";
    write_file("3\n", target);
    ASSERT_EQ(::symlink(target.c_str(), path_.c_str()), 0);
    log_open_switch(path_.c_str());
    EXPECT_EQ(level(), 0);
    EXPECT_EQ(read_file(target), "3\n");
    // A dangling link is not created through either.
    const std::string missing = dir_ + "/missing";
    ::unlink(path_.c_str());
    ASSERT_EQ(::symlink(missing.c_str(), path_.c_str()), 0);
    log_open_switch(path_.c_str());
    EXPECT_EQ(level(), 0);
    EXPECT_FALSE(exists(missing));
}

TEST_F(LogSwitch, HardLinkToAnotherFileIsLeftAlone)
{
    const std::string target = dir_ + "/precious";
    write_file("3\n", target);
    ASSERT_EQ(::link(target.c_str(), path_.c_str()), 0);
    log_open_switch(path_.c_str());
    EXPECT_EQ(level(), 0);
    EXPECT_EQ(read_file(target), "3\n");
}

TEST_F(LogSwitch, FifoDoesNotBlock)
{
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    log_open_switch(path_.c_str()); // would hang here if it waited for a writer
    EXPECT_EQ(level(), 0);
}

TEST_F(LogSwitch, DirectoryCountsAsNoFile)
{
    ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);
    log_open_switch(path_.c_str());
    EXPECT_EQ(level(), 0);
}

TEST_F(LogSwitch, SomeoneElsesFileIsLeftAlone)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give the file away";
    }
    write_file("2\n");
    ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
    log_open_switch(path_.c_str());
    EXPECT_EQ(level(), 0);
    EXPECT_EQ(read_file(), "2\n");
}

TEST_F(LogSwitch, HugeFileIsReadFromItsStartOnly)
{
    write_file("6\n");
    ASSERT_EQ(::truncate(path_.c_str(), 1LL << 30), 0); // sparse: 1 GiB
    log_open_switch(path_.c_str());
    EXPECT_EQ(level(), 6);
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, (1LL << 30) + static_cast<long long>(std::string(kStartLine).size()));
}

} // namespace
} // namespace zq
