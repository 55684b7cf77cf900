// What `kiv ls` shows on a terminal: the details a daemon reports, their
// encoding, and the table.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "kiv/session_daemon.h"
#include "kiv/protocol.h"
#include "kiv/session_details.h"

using namespace kiv;

namespace {

TEST(SessionDetails, EncodingRoundTripsAndToleratesNewFields) {
    SessionDetails d{4242, 2, 3725, 132, 43, {"vim", "notes.txt", "", "a\nb=c"}, {}};
    std::optional<SessionDetails> back = decodeDetails(encodeDetails(d));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->pid, 4242);
    EXPECT_EQ(back->clients, 2);
    EXPECT_EQ(back->ageSeconds, 3725);
    EXPECT_EQ(back->cols, 132);
    EXPECT_EQ(back->rows, 43);
    EXPECT_EQ(back->command, d.command);

    using namespace std::string_literals;
    ASSERT_TRUE(decodeDetails("pid=7\0future=x\0clients=1\0"s));
    EXPECT_EQ(decodeDetails("pid=7\0future=x\0clients=1\0"s)->clients, 1);
    for (std::string bad : {""s, "clients=1\0"s, "pid=7"s, "pid=7\0nokey\0"s, "pid=-1\0"s,
                            "pid=x\0"s, "pid=7\0rows=\0"s})
        EXPECT_FALSE(decodeDetails(bad)) << testing::PrintToString(bad);
}

TEST(SessionDetails, Ages) {
    struct Case {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "0s"},        {59, "59s"},          {60, "1m"},        {3599, "59m"},
        {3600, "1h00m"},  {3725, "1h02m"},      {86399, "23h59m"}, {86400, "1d00h"},
        {90061, "1d01h"}, {8640000, "100d00h"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatAge(c.seconds), c.text) << c.seconds;
}

TEST(SessionDetails, Table) {
    SessionDetails ended{9, 0, 200, 80, 24, {"make"}, SessionEnd{SessionEnd::How::Exited, 2, 150}};
    SessionDetails signaled = ended;
    signaled.end = SessionEnd{SessionEnd::How::Signaled, 9, 5};
    std::vector<DetailsRow> rows = {
        {"app", SessionDetails{4242, 2, 75, 80, 24, {"/bin/bash"}, {}}, 0},
        {"notes", SessionDetails{17, 0, 3600, 132, 43, {"vim", "my notes.txt", ""}, {}}, 0},
        {"old", std::nullopt, 99},
        {"gone\x1b]2;x", std::nullopt, 0},
        {"é", SessionDetails{5, 1, 1, 1, 1, {"printf", "\x1b[31m"}, {}}, 0},
        {"build", ended, 0},
        {"hung", signaled, 0},
    };
    std::vector<std::string> want = {
        "NAME          PID   CLIENTS  AGE    SIZE    STATUS                     COMMAND",
        "app           4242  2        1m     80x24   running                    /bin/bash",
        "notes         17    0        1h00m  132x43  running                    vim 'my notes.txt' ''",
        "old           99    ?        ?      ?       ?                          ?",
        "gone\\x1b]2;x  ?     ?        ?      ?       ?                          ?",
        "é             5     1        1s     1x1     running                    printf '\\x1b[31m'",
        "build         9     0        3m     80x24   exited 2, 2m ago           make",
        "hung          9     0        3m     80x24   killed by SIGKILL, 5s ago  make",
    };
    EXPECT_EQ(detailsTable(rows), want);
    // How a session ended travels with its details, and alone in Ended.
    for (const DetailsRow& row : rows) {
        if (!row.details || !row.details->end) continue;
        EXPECT_EQ(decodeDetails(encodeDetails(*row.details))->end, row.details->end);
        std::string alone;
        appendEndFields(alone, *row.details->end);
        EXPECT_EQ(decodeEnd(alone), row.details->end);
    }
    using namespace std::string_literals;
    EXPECT_EQ(decodeEnd("end=killed\0ago=0\0"s), (SessionEnd{SessionEnd::How::Killed, 0, 0}));
    for (std::string bad : {""s, "status=3\0"s, "end=gone\0"s, "end=exited\0status=x\0"s,
                            "end=signal\0signal=-1\0"s})
        EXPECT_FALSE(decodeEnd(bad)) << testing::PrintToString(bad);
    EXPECT_FALSE(decodeDetails("pid=7\0end=exited\0status=999\0"s));
}

// The daemon's answer, driven in-process: clients count once they get
// output, the size is the last one set, the command is the one started.
TEST(SessionDetails, DaemonReportsLiveClientsSizeAndCommand) {
    Session s = newSession("inproc", "/bin/sh", {"-c", "sleep 30", "x y"});
    Daemon d(std::move(s));
    std::vector<UniqueFd> peers;
    auto connect = [&] {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        peers.emplace_back(fds[0]);
        d.adoptClient(UniqueFd(fds[1]), true);
        return fds[0];
    };
    auto send = [](int fd, MsgKind kind, std::string_view payload) {
        std::string frame = frameBytes(kind, payload);
        ASSERT_EQ(::send(fd, frame.data(), frame.size(), 0), ssize_t(frame.size()));
    };
    int first = connect(), second = connect(), asking = connect();
    connect();  // joined but without a size yet: not attached
    send(first, MsgKind::Resize, resizePayload({100, 30}));
    send(second, MsgKind::Resize, resizePayload({90, 20}));
    for (int i = 0; i < 20; ++i)
        d.step(10);
    send(asking, MsgKind::Details, "");

    std::string received;
    std::optional<SessionDetails> details;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!details && std::chrono::steady_clock::now() < deadline) {
        d.step(10);
        char buf[4096];
        ssize_t n = recv(asking, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) received.append(buf, n);
        MsgKind kind;
        std::string payload;
        if (takeFrame(received, kind, payload)) {
            ASSERT_EQ(kind, MsgKind::Details);
            details = decodeDetails(payload);
            ASSERT_TRUE(details);
        }
    }
    ASSERT_TRUE(details);
    EXPECT_EQ(details->pid, getpid());
    EXPECT_EQ(details->clients, 2);
    EXPECT_EQ(details->cols, 90);
    EXPECT_EQ(details->rows, 20);
    EXPECT_EQ(details->command, (std::vector<std::string>{"/bin/sh", "-c", "sleep 30", "x y"}));
    EXPECT_LT(details->ageSeconds, 10);
}

}  // namespace
