// Sessions that outlive their daemon: the saved record as users meet it
// after a crash or a restart, and records that must not be trusted.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/machine.h"
#include "tests/support/process.h"
#include "tests/support/scratch.h"
#include "tests/support/tmux.h"

using namespace testsupport;

namespace {

// The record files of the machine's state directory.
std::vector<std::string> records(const Machine& m) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(m.scratch / "state/kiv", ec))
        paths.push_back(entry.path());
    return paths;
}

// Waits until the session's record holds `text`, as the daemon writes it
// within its bound (renamed into place: not a write still going on).
bool waitRecordHolds(const Machine& m, const std::string& text) {
    for (int i = 0; i < 200; ++i) {
        for (const std::string& path : records(m))
            if (path.ends_with(".session") && readFile(path).find(text) != std::string::npos)
                return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// What a crash and a restart leave: the daemon killed outright, the runtime
// directory (a tmpfs) gone.
void crash(Machine& m, const std::string& name) {
    pid_t pid = std::stoi(readFile(m.file(name + ".pid")));
    kill(pid, SIGKILL);
    for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i)
        std::this_thread::sleep_for(20ms);
    std::filesystem::remove_all(m.scratch / "run");
}

TEST(Saved, LostSessionListedShownAndStartedAgain) {
    if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed";
    Machine m;
    TmuxTerminal term(m.scratch, m.app, m.env, 80, 24);
    term.line("kiv keep");
    ASSERT_TRUE(m.waitSessions({"keep"}));
    term.line("seq 1 3000 | sed 's/^/row /'; printf '\\033[32mgreen-%s\\033[0m\\n' mark");
    ASSERT_TRUE(term.waitFor("green-mark"));
    // A program on a file, in a directory of its own, in the foreground of
    // the shell: vim, or one that shows its directory and file likewise.
    std::string notes = m.app + "/my notes";
    std::filesystem::create_directory(notes);
    writeFile(notes + "/it's.txt", "remember-the-milk\n");
    bool vim = m.sh("command -v vim").status == 0;
    term.line(std::string("(cd 'my notes' && exec ") +
              (vim ? "vim -u NONE -N \"it's.txt\")"
                   : "sh -c 'pwd; cat -- \"$1\"; read x' show \"it's.txt\")"));
    ASSERT_TRUE(term.waitFor("remember-the-milk"));
    ASSERT_TRUE(waitRecordHolds(m, "remember-the-milk"));
    crash(m, "keep");
    term.line("clear");

    EXPECT_EQ(m.kiv({"ls"}).out, "keep\n");
    term.line("kiv ls");
    ASSERT_TRUE(term.waitFor("lost, ")) << term.screen();

    // Shown as saved, history first, then when it was lost; kept.
    ProcessResult shown = m.kiv({"attach", "keep"});
    EXPECT_EQ(shown.status, 0) << shown.err;
    size_t first = shown.out.find("row 1\x1b[0m\r\n");
    size_t last = shown.out.find("row 3000\x1b[0m\r\n");
    size_t mark = shown.out.find("\x1b[0;32mgreen-mark");
    size_t lost = shown.out.find("[keep lost ");
    EXPECT_TRUE(first < last && last < mark && mark < lost && lost != std::string::npos)
        << shown.out.substr(shown.out.size() - std::min<size_t>(shown.out.size(), 400));
    EXPECT_EQ(records(m).size(), 1u);

    // Started again from elsewhere: the shell, the program typed into it
    // in its directory, and on quitting it the shell below the saved history.
    term.line("clear; cd " + m.home + " && kiv keep");
    ASSERT_TRUE(term.waitFor("remember-the-milk")) << term.screen();
    if (!vim) {
        EXPECT_TRUE(term.waitFor(notes + "\n")) << term.screen();
    }
    term.line(vim ? ":q" : "");
    ASSERT_TRUE(term.waitFor("keep started again")) << term.screen();
    term.line("pwd");
    EXPECT_TRUE(term.waitFor(notes + "\n")) << term.screen();
    std::string screen = term.screen();
    EXPECT_LT(screen.find("it's.txt"), screen.find("keep started again")) << screen;
    ASSERT_TRUE(detach(term));
    ProcessResult killed = m.kiv({"kill", "keep"});
    EXPECT_EQ(killed.status, 0) << killed.err;
    EXPECT_TRUE(records(m).empty());
    EXPECT_EQ(m.kiv({"ls"}).out, "");
}

TEST(Saved, DamagedRecordsAreRefusedAndNothingElseBreaks) {
    Machine m;
    ASSERT_EQ(
        m.kiv({"new", "rec", "/bin/sh", "-c", "printf '%s-%s\\n' saved text; sleep 60"}).status, 0);
    ASSERT_TRUE(waitRecordHolds(m, "saved-text"));
    crash(m, "rec");
    ASSERT_EQ(m.kiv({"new", "live", "/bin/sh", "-c", "sleep 60"}).status, 0);
    ASSERT_EQ(records(m).size(), 2u);
    std::string path;
    for (const std::string& p : records(m))
        if (readFile(p).find("saved-text") != std::string::npos) path = p;
    std::string good = readFile(path);
    std::string flipped = good, flippedHead = good;
    flipped[flipped.find("saved-text")] ^= 1;
    flippedHead[20] ^= 1;
    auto put = [&](const std::string& bytes) {
        writeFile(path, bytes);
        chmod(path.c_str(), 0600);
    };

    struct Case {
        const char* what;
        std::function<void()> damage;
        const char* why;  // in attach's message
        bool listed;      // ls can tell from the head that it is fine
    } cases[] = {
        {"truncated", [&] { put(good.substr(0, good.size() - 9)); }, "damaged: truncated content",
         false},
        {"flipped content", [&] { put(flipped); }, "damaged: content check failed", true},
        {"flipped head", [&] { put(flippedHead); }, "damaged: metadata check failed", false},
        {"not a record", [&] { put("hello"); }, "damaged: not a kiv saved record", false},
        {"a link",
         [&] {
             writeFile(m.scratch / "elsewhere", good);
             std::filesystem::remove(path);
             std::filesystem::create_symlink(m.scratch / "elsewhere", path);
         },
         "a symbolic link", false},
        {"open to others",
         [&] {
             writeFile(path, good);
             chmod(path.c_str(), 0644);
         },
         "mode 0644, not 0600", false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(path);
        c.damage();
        ProcessResult shown = m.kiv({"attach", "rec"});
        EXPECT_EQ(shown.status, 1) << c.what;
        EXPECT_EQ(shown.err, "kiv: cannot show saved session rec: " + path + ": " + c.why + "\n")
            << c.what;
        EXPECT_EQ(shown.out, "") << c.what;
        ProcessResult listed = m.kiv({"ls"});
        EXPECT_EQ(listed.status, 0) << c.what;
        EXPECT_EQ(listed.out, c.listed ? "live\nrec\n" : "live\n") << c.what;
        if (!c.listed) {
            EXPECT_NE(listed.err.find("damaged saved record skipped: " + path), std::string::npos)
                << c.what << ": " << listed.err;
        }
    }
    if (geteuid() == 0) {  // another user's record
        put(good);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        ProcessResult shown = m.kiv({"attach", "rec"});
        EXPECT_EQ(shown.err,
                  "kiv: cannot show saved session rec: " + path + ": owned by uid 65534\n");
    }
    ProcessResult removed = m.kiv({"kill", "rec"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out, "removed saved session rec\n");
    EXPECT_EQ(records(m).size(), 1u);  // live's
    EXPECT_EQ(m.kiv({"ls"}).out, "live\n");
}

TEST(Saved, EndedSessionSurvivesARestartUntilCollected) {
    Machine m;
    ASSERT_EQ(m.kiv({"-d", "b", "/bin/sh", "-c", "printf 'result-%s\\n' 42; exit 3"}).status, 0);
    // Written as the end is known: the output is never in a record before.
    ASSERT_TRUE(waitRecordHolds(m, "result-42"));
    crash(m, "b");
    EXPECT_EQ(m.kiv({"ls"}).out, "b\n");
    ProcessResult shown = m.kiv({"attach", "b"});
    EXPECT_EQ(shown.status, 3) << shown.err;
    EXPECT_NE(shown.out.find("result-42"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("[b exited: status 3]"), std::string::npos) << shown.out;
    EXPECT_EQ(m.kiv({"ls"}).out, "");  // collected
    EXPECT_TRUE(records(m).empty());
}

TEST(Saved, NoScreenContentOnDiskWithSavingOff) {
    Machine m;
    ProcessResult started = m.sh(
        "KIV_SAVE=0 kiv new quiet /bin/sh -c 'printf \"%s-%s\\n\" secret output; sleep 60' "
        "< /dev/null");
    ASSERT_EQ(started.status, 0) << started.err;
    ASSERT_TRUE(m.waitSessions({"quiet"}));
    std::this_thread::sleep_for(2500ms);  // past the quiet second after the output
    ASSERT_EQ(records(m).size(), 1u);
    for (const std::string& path : records(m))
        EXPECT_EQ(readFile(path).find("secret-output"), std::string::npos);
    crash(m, "quiet");
    EXPECT_EQ(m.kiv({"ls"}).out, "quiet\n");  // still known, as lost
    ProcessResult shown = m.kiv({"attach", "quiet"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("its screen was not saved (KIV_SAVE=0)"), std::string::npos);
}

}  // namespace
