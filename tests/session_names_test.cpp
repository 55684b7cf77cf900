// Session names and discovery against a real session directory.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "kiv/endpoints.h"
#include "kiv/session_files.h"
#include "kiv/session_names.h"
#include "tests/support/scratch.h"

using namespace kiv;
using testsupport::EnvVar;
using testsupport::ScratchDir;
using testsupport::writeFile;

namespace {

// A session directory in a scratch directory, and the working directory
// changed for the test (restored afterwards).
struct Sandbox {
    ScratchDir scratch;
    EnvVar xdg{"XDG_RUNTIME_DIR", (scratch / "run").c_str()};
    EnvVar home{"HOME", (scratch / "home").c_str()};
    std::string oldCwd = std::filesystem::current_path();

    Sandbox() { std::filesystem::create_directories(scratch / "home/src/app"); }
    ~Sandbox() { std::filesystem::current_path(oldCwd); }
    void cd(const std::string& dir) { std::filesystem::current_path(dir); }
};

// A live listener on a session's socket path.
UniqueFd listenAs(const std::string& name) {
    return listenUnix(socketPath(name));
}

TEST(DefaultName, HomeDirectoryAndRoot) {
    Sandbox box;
    box.cd(box.scratch / "home");
    EXPECT_EQ(defaultName(), "~");
    box.cd(box.scratch / "home/src/app");
    EXPECT_EQ(defaultName(), "app");
    box.cd("/");
    EXPECT_EQ(defaultName(), "root");
    // The same directory through another path is still home.
    std::filesystem::create_directory_symlink(box.scratch / "home", box.scratch / "link");
    box.cd(box.scratch / "link");
    EXPECT_EQ(defaultName(), "~");
}

TEST(ResolveSession, ReservesTheFirstFreeCandidate) {
    Sandbox box;
    box.cd(box.scratch / "home/src/app");
    EXPECT_EQ(resolveSession("given"), "given");
    EXPECT_FALSE(testsupport::exists(sessionFile("given", ".lock")));

    EXPECT_EQ(resolveSession(""), "app");
    EXPECT_EQ(resolveSession(""), "app0");
    EXPECT_EQ(resolveSession(""), "app1");
    for (const char* name : {"app", "app0", "app1"}) {
        struct stat st;
        ASSERT_EQ(stat(sessionFile(name, ".lock").c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, 0);
    }
    // A regular file where a socket should be takes the name too.
    writeFile(socketPath("app2"), "");
    EXPECT_EQ(resolveSession(""), "app3");
}

TEST(ResolveSession, LiveSocketWithoutLockIsReturnedForReuse) {
    Sandbox box;
    box.cd(box.scratch / "home/src/app");
    UniqueFd live = listenAs("app");
    EXPECT_EQ(resolveSession(""), "app");
    EXPECT_TRUE(testsupport::exists(sessionFile("app", ".lock")));
}

TEST(IsActive, OnlyAListeningSocket) {
    Sandbox box;
    EXPECT_FALSE(isActive("none"));
    writeFile(socketPath("file"), "");
    EXPECT_FALSE(isActive("file"));
    { UniqueFd gone = listenAs("dead"); }
    EXPECT_TRUE(testsupport::exists(socketPath("dead")));
    EXPECT_FALSE(isActive("dead"));
    UniqueFd live = listenAs("live");
    EXPECT_TRUE(isActive("live"));
}

TEST(OldestSession, EarliestPidFileThenLowestPid) {
    Sandbox box;
    EXPECT_EQ(oldestSession(), "");
    UniqueFd a = listenAs("a"), b = listenAs("b"), c = listenAs("c"), d = listenAs("d");
    auto pidFile = [](const std::string& name, const char* pid, time_t when) {
        std::string path = sessionFile(name, ".pid");
        writeFile(path, pid);
        timespec times[2] = {{when, 0}, {when, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    };
    pidFile("a", "300", 2000);
    pidFile("b", "200", 1000);
    pidFile("c", "100", 1000);  // same second as b, lower pid
    // d has no pid file: never the oldest, however old its socket.
    EXPECT_EQ(oldestSession(), "c");
    c.reset();  // c's daemon goes away
    EXPECT_EQ(oldestSession(), "b");
    // Only live sessions are listed, in any order.
    std::vector<std::string> names = socketNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c", "d"}));
}

}  // namespace
