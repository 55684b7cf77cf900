// The log file: where it goes, what a line looks like, and writers sharing it.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sstream>

#include "kiv/log.h"
#include "tests/support/scratch.h"

using namespace kiv;
using testsupport::EnvVar;
using testsupport::ScratchDir;

namespace {

std::string thisYear() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::to_string(local.tm_year + 1900);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

const std::regex LinePattern(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d (.*))");

TEST(Log, PathRules) {
    std::string file = "/kiv/kiv-" + thisYear() + ".log";
    struct Case {
        const char* xdg;
        const char* home;
        std::string path;
    } cases[] = {
        {"/tmp/d", "/home/u", "/tmp/d" + file},
        {"/tmp/d/", "/home/u", "/tmp/d" + file},
        {"", "/home/u", "/home/u/.local/share" + file},
        {nullptr, "/home/u", "/home/u/.local/share" + file},
        {nullptr, nullptr, "/.local/share" + file},
    };
    for (const Case& c : cases) {
        EnvVar xdg("XDG_DATA_HOME", c.xdg);
        EnvVar home("HOME", c.home);
        EXPECT_EQ(Logger::logFilePath(), c.path) << (c.xdg ? c.xdg : "(unset)");
    }
}

TEST(Log, DisabledOrUnusableTouchesNothing) {
    ScratchDir scratch;
    EnvVar xdg("XDG_DATA_HOME", (scratch / "data").c_str());
    Logger off = initLogger(false);
    off.info("dropped");
    EXPECT_FALSE(off.enabled());
    EXPECT_FALSE(testsupport::exists(scratch / "data"));

    testsupport::writeFile(scratch / "file", "");
    EnvVar blocked("XDG_DATA_HOME", (scratch / "file/data").c_str());
    Logger failed = initLogger(true);
    EXPECT_FALSE(failed.enabled());
    failed.info("dropped");
    failed.close();
}

TEST(Log, AppendsTimestampedLines) {
    ScratchDir scratch;
    EnvVar xdg("XDG_DATA_HOME", (scratch / "a/b").c_str());
    std::string path = Logger::logFilePath();
    Logger log = initLogger(true);
    ASSERT_TRUE(log.enabled());
    EXPECT_EQ(log.path(), path);
    struct stat st;
    ASSERT_EQ(stat((scratch / "a/b/kiv").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    log.info("daemon: session=s cmd=/bin/sh");
    log.info("");
    log.close();
    log.info("after close");
    Logger again = initLogger(true);
    again.info("daemon: exited");

    std::vector<std::string> got = lines(testsupport::readFile(path));
    std::vector<std::string> messages;
    for (const std::string& line : got) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, LinePattern)) << line;
        messages.push_back(m[1]);
    }
    EXPECT_EQ(messages,
              (std::vector<std::string>{"daemon: session=s cmd=/bin/sh", "", "daemon: exited"}));
}

// Two daemons appending to the same yearly file at once: every line whole.
TEST(Log, TwoWritersShareTheFile) {
    ScratchDir scratch;
    EnvVar xdg("XDG_DATA_HOME", scratch.path().c_str());
    const int perWriter = 300;
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = fork();
        ASSERT_GE(writers[w], 0);
        if (writers[w] == 0) {
            Logger log = initLogger(true);
            std::string padding(200, 'a' + w);
            for (int i = 0; i < perWriter; ++i)
                log.info("writer " + std::to_string(w) + " line " + std::to_string(i) + " " +
                         padding);
            _exit(0);
        }
    }
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int next[2] = {0, 0};
    for (const std::string& line : lines(testsupport::readFile(Logger::logFilePath()))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, LinePattern)) << line;
        int w = m.str(1)[7] - '0';
        ASSERT_TRUE(w == 0 || w == 1) << line;
        EXPECT_EQ(m.str(1), "writer " + std::to_string(w) + " line " + std::to_string(next[w]++) +
                                " " + std::string(200, 'a' + w));
    }
    EXPECT_EQ(next[0], perWriter);
    EXPECT_EQ(next[1], perWriter);
}

}  // namespace
