#include <sys/stat.h>

#include <unistd.h>
#include <cstdio>

#include <gtest/gtest.h>

#include "kiv/errors.h"
#include "kiv/runtime.h"
#include "kiv/session_files.h"
#include "tests/support/errors.h"
#include "tests/support/scratch.h"

using namespace kiv;
using testsupport::EnvVar;
using testsupport::ScratchDir;

namespace {

// Clears every variable that picks the runtime directory.
struct CleanEnv {
    EnvVar xdg{"XDG_RUNTIME_DIR", nullptr};
    EnvVar tmp{"TMPDIR", nullptr};
    EnvVar prefix{"PREFIX", nullptr};
};

TEST(RuntimeDir, Precedence) {
    CleanEnv clean;
    EXPECT_EQ(runtimeDir(), "/tmp");
    {
        EnvVar termux("PREFIX", "/data/data/com.termux/files/usr");
        EXPECT_TRUE(isTermux());
        EXPECT_EQ(runtimeDir(), "/data/data/com.termux/files/usr/tmp");
        EnvVar tmp("TMPDIR", "/var/tmp");
        EXPECT_EQ(runtimeDir(), "/var/tmp");
        EnvVar xdg("XDG_RUNTIME_DIR", "/run/user/1000");
        EXPECT_EQ(runtimeDir(), "/run/user/1000");
    }
    {
        EnvVar other("PREFIX", "/usr/local");
        EXPECT_FALSE(isTermux());
        EXPECT_EQ(runtimeDir(), "/tmp");
    }
    EnvVar emptyXdg("XDG_RUNTIME_DIR", "");
    EnvVar tmp("TMPDIR", "/var/tmp");
    EXPECT_EQ(runtimeDir(), "/var/tmp");
}

TEST(Hash, FnvAndHex) {
    // 64-bit FNV-1a, whose published values these are.
    EXPECT_EQ(fnv1a(""), 0xCBF29CE484222325u);
    EXPECT_EQ(fnv1a("a"), 0xAF63DC4C8601EC8Cu);
    EXPECT_EQ(toHex(0), "0000000000000000");
    EXPECT_EQ(toHex(0xABCDEF1u), "000000000ABCDEF1");
}

TEST(KivDir, CreatesPrivateDirectoryWithParents) {
    ScratchDir scratch;
    CleanEnv clean;
    EnvVar xdg("XDG_RUNTIME_DIR", (scratch / "run/user").c_str());
    std::string dir = kivDir();
    EXPECT_EQ(dir, scratch / "run/user/kiv");
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(kivDir(), dir);  // a second call accepts what the first made
}

TEST(KivDir, RefusesOwnDirectoryOpenToOthers) {
    // Others may have planted sockets and links in it already.
    ScratchDir scratch;
    CleanEnv clean;
    EnvVar xdg("XDG_RUNTIME_DIR", scratch.path().c_str());
    ASSERT_EQ(mkdir((scratch / "kiv").c_str(), 0700), 0);
    for (mode_t mode : {0777, 0750, 0701}) {
        chmod((scratch / "kiv").c_str(), mode);
        EXPECT_EQ(testsupport::errorOf<SystemError>([] { kivDir(); }),
                  "unsafe session directory: " + (scratch / "kiv"));
    }
}

TEST(KivDir, RefusesUnsafeOrBlockedPaths) {
    ScratchDir scratch;
    CleanEnv clean;
    auto message = [] {
        try {
            kivDir();
        } catch (const SystemError& e) {
            return std::string(e.what());
        }
        return std::string("(no error)");
    };

    // A symbolic link in place of the session directory.
    ASSERT_EQ(mkdir((scratch / "elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((scratch / "a").c_str(), 0700), 0);
    ASSERT_EQ(symlink((scratch / "elsewhere").c_str(), (scratch / "a/kiv").c_str()), 0);
    {
        EnvVar xdg("XDG_RUNTIME_DIR", (scratch / "a").c_str());
        EXPECT_EQ(message(), "unsafe session directory: " + (scratch / "a/kiv"));
    }
    // A directory owned by someone else.
    ASSERT_EQ(mkdir((scratch / "b").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((scratch / "b/kiv").c_str(), 0700), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown((scratch / "b/kiv").c_str(), 12345, 12345), 0);
        EnvVar xdg("XDG_RUNTIME_DIR", (scratch / "b").c_str());
        EXPECT_EQ(message(), "unsafe session directory: " + (scratch / "b/kiv"));
    }
    // A file where a parent directory should be.
    testsupport::writeFile(scratch / "file", "");
    {
        EnvVar xdg("XDG_RUNTIME_DIR", (scratch / "file/sub").c_str());
        EXPECT_EQ(message(), "Failed to create '" + (scratch / "file") + "'");
    }
}

TEST(KivDir, OnePerUserWithoutRuntimeDirectory) {
    // /tmp and $TMPDIR are shared: a name common to all users would be
    // whoever made it first's, and lock the others out.
    std::string uid = std::to_string(geteuid());
    struct {
        const char *xdg, *tmpdir, *prefix;
        std::string dir;
    } paths[] = {
        {nullptr, nullptr, nullptr, "/tmp/kiv-" + uid},
        {"", "", nullptr, "/tmp/kiv-" + uid},
        {nullptr, "/var/tmp/", nullptr, "/var/tmp/kiv-" + uid},
        {nullptr, nullptr, "/data/data/com.termux/files/usr",
         "/data/data/com.termux/files/usr/tmp/kiv-" + uid},
        {"/run/user/1000", "/var/tmp", nullptr, "/run/user/1000/kiv"},
    };
    for (const auto& p : paths) {
        EnvVar xdg("XDG_RUNTIME_DIR", p.xdg), tmp("TMPDIR", p.tmpdir), prefix("PREFIX", p.prefix);
        EXPECT_EQ(sessionDir(), p.dir);
    }

    ScratchDir scratch;
    CleanEnv clean;
    EnvVar tmp("TMPDIR", scratch.path().c_str());
    std::string dir = scratch / ("kiv-" + uid);
    EXPECT_EQ(kivDir(), dir);
    struct stat st;
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(rmdir(dir.c_str()), 0);

    // Made before the user by someone else (as far as an unprivileged test
    // can play that): open to all, a link to elsewhere, not a directory.
    struct {
        const char* what;
        void (*plant)(const std::string& dir, const std::string& elsewhere);
    } planted[] = {
        {"open to all",
         [](const std::string& d, const std::string&) {
             mkdir(d.c_str(), 0700);
             chmod(d.c_str(), 0777);
         }},
        {"a link",
         [](const std::string& d, const std::string& e) { symlink(e.c_str(), d.c_str()); }},
        {"a file", [](const std::string& d, const std::string&) { testsupport::writeFile(d, ""); }},
    };
    ASSERT_EQ(mkdir((scratch / "elsewhere").c_str(), 0700), 0);
    for (const auto& p : planted) {
        p.plant(dir, scratch / "elsewhere");
        EXPECT_EQ(testsupport::errorOf<SystemError>([] { kivDir(); }),
                  "unsafe session directory: " + dir)
            << p.what;
        if (unlink(dir.c_str()) != 0) rmdir(dir.c_str());
    }
}

TEST(SocketPath, PlainAndShortenedNames) {
    ScratchDir scratch;
    CleanEnv clean;
    // Pad the runtime directory so that the session directory is 18 bytes
    // long, like "/run/user/1000/kiv".
    std::string base = scratch.path();  // "/tmp/kivtest.XXXXXX" is 19 bytes
    ASSERT_EQ(base.size(), 19u);
    std::string runtime = base + "/r";
    EnvVar xdg("XDG_RUNTIME_DIR", runtime.c_str());
    std::string dir = runtime + "/kiv";  // 25 bytes
    EXPECT_EQ(socketPath("work"), dir + "/work.sock");
    EXPECT_EQ(sessionFile("work", ".pid"), dir + "/work.pid");
    EXPECT_EQ(sessionFile("work", ".lock"), dir + "/work.lock");

    // 25 + 1 + n + 5 = 107 at n = 76: exactly fits.
    std::string fits(76, 'x');
    EXPECT_EQ(socketPath(fits), dir + "/" + fits + ".sock");
    std::string over(77, 'x');
    std::string shortened = socketPath(over);
    EXPECT_EQ(shortened.size(), 107u);
    size_t keep = 84 - dir.size();
    EXPECT_EQ(shortened, dir + "/" + over.substr(0, keep) + "-" + toHex(fnv1a(over)) + ".sock");
    EXPECT_EQ(sessionFile(over, ".pid"),
              dir + "/" + over.substr(0, keep) + "-" + toHex(fnv1a(over)) + ".pid");

    // The hash covers the whole name; the stem maps back to itself.
    EXPECT_NE(socketPath(over + "a"), socketPath(over + "b"));
    std::string stem = shortened.substr(dir.size() + 1, shortened.size() - dir.size() - 6);
    EXPECT_EQ(socketPath(stem), shortened);
}

TEST(SocketPath, NinetyLetters) {
    ScratchDir scratch;
    CleanEnv clean;
    EnvVar xdg("XDG_RUNTIME_DIR", scratch.path().c_str());
    std::string dir = scratch / "kiv";
    std::string path = socketPath(std::string(90, 'a'));
    EXPECT_EQ(path, dir + "/" + std::string(84 - dir.size(), 'a') + "-FEAAC9A191B43F6F.sock");
    EXPECT_EQ(path.size(), 107u);
}

TEST(SocketPath, NoRoomLeavesTheFullPath) {
    ScratchDir scratch;
    CleanEnv clean;
    std::string deep = scratch / std::string(95, 'd');
    EnvVar xdg("XDG_RUNTIME_DIR", deep.c_str());
    EXPECT_EQ(socketPath("w"), deep + "/kiv/w.sock");
}

TEST(SocketPath, RefusesNamesThatAreNotOneComponent) {
    ScratchDir scratch;
    CleanEnv clean;
    EnvVar xdg("XDG_RUNTIME_DIR", scratch.path().c_str());
    for (std::string bad : {std::string("../../x"), std::string("a/b"), std::string("."),
                            std::string(".."), std::string("a\0b", 3), std::string()}) {
        try {
            socketPath(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const UsageError& e) {
            EXPECT_EQ(std::string(e.what()), "invalid session name: " + printableName(bad));
        }
    }
    EXPECT_NO_THROW(socketPath("..."));
    EXPECT_NO_THROW(socketPath("~"));
}

TEST(DaemonPid, ReadsOnlyUsablePids) {
    ScratchDir scratch;
    CleanEnv clean;
    EnvVar xdg("XDG_RUNTIME_DIR", scratch.path().c_str());
    std::string pidFile = sessionFile("s", ".pid");
    EXPECT_EQ(daemonPid("s"), 0);  // missing
    struct Case {
        const char* content;
        int pid;
    } cases[] = {
        {"4242\n", 4242},  {" \t4242\r\n", 4242},
        {"4_242", 4242},   {"+7", 7},
        {"", 0},           {"abc", 0},
        {"0", 0},          {"-1", 0},
        {"-4242", 0},      {"2147483647", 2147483647},
        {"2147483648", 0}, {"42 43", 0},
    };
    for (const Case& c : cases) {
        testsupport::writeFile(pidFile, c.content);
        EXPECT_EQ(daemonPid("s"), c.pid) << '"' << c.content << '"';
    }
}

TEST(SessionFiles, RemovedOnlyWhileTheSameAndPidFileNeverFollowed) {
    ScratchDir scratch;
    CleanEnv clean;
    EnvVar xdg("XDG_RUNTIME_DIR", scratch.path().c_str());
    std::string lock = sessionFile("s", ".lock");
    testsupport::writeFile(lock, "");
    std::optional<FileId> mine = fileId(lock);
    ASSERT_TRUE(mine);
    // Another session of the name made its own lock meanwhile: it stays.
    testsupport::writeFile(lock + ".new", "");
    ASSERT_EQ(rename((lock + ".new").c_str(), lock.c_str()), 0);
    removeIfSame(lock, mine);
    EXPECT_TRUE(testsupport::exists(lock));
    removeIfSame(lock, fileId(lock));
    EXPECT_FALSE(testsupport::exists(lock));
    EXPECT_NO_THROW(removeIfSame(lock, std::nullopt));
    EXPECT_NO_THROW(removeSocket("s"));

    // A pid file planted as a link to another file: the link goes, the
    // file it points at is never written.
    std::string victim = scratch / "victim";
    testsupport::writeFile(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), sessionFile("s", ".pid").c_str()), 0);
    FileId pid = writePidFile("s");
    EXPECT_EQ(testsupport::readFile(victim), "precious");
    EXPECT_EQ(testsupport::readFile(sessionFile("s", ".pid")), std::to_string(getpid()));
    EXPECT_EQ(fileId(sessionFile("s", ".pid")), pid);
    EXPECT_EQ(daemonPid("s"), getpid());
    // Nor is a pid read through a link.
    unlink(sessionFile("s", ".pid").c_str());
    testsupport::writeFile(victim, "4242");
    ASSERT_EQ(symlink(victim.c_str(), sessionFile("s", ".pid").c_str()), 0);
    EXPECT_EQ(daemonPid("s"), 0);
}

TEST(SessionNames, ControlCharactersAreRefusedAndEscaped) {
    for (const char* bad : {"a\nb", "\x1b]0;title\x07", "tab\there", "del\x7f"})
        EXPECT_FALSE(validSessionName(bad)) << printableName(bad);
    for (const char* good : {"work", "~", "caf\xc3\xa9", "a b", "-x"})
        EXPECT_TRUE(validSessionName(good)) << good;
    EXPECT_EQ(printableName("a\nb\x1b]0;t\x07\\"), "a\\x0Ab\\x1B]0;t\\x07\\x5C");
    EXPECT_EQ(printableName("caf\xc3\xa9"), "caf\xc3\xa9");
}

}  // namespace
