// Running a real `kiv daemon` from tests and talking the protocol to it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kiv/config.h"
#include "kiv/fd.h"
#include "kiv/key.h"
#include "kiv/protocol.h"
#include "kiv/secure_channel.h"
#include "tests/support/scratch.h"

namespace testsupport {

// AddressSanitizer keeps freed memory in quarantine and shadows every byte,
// so resident-size bounds only hold in the plain build.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool RssIsMeaningful = false;
#else
inline constexpr bool RssIsMeaningful = true;
#endif

using namespace std::chrono_literals;

// The text of this year's log file under <scratch>/data, "" when none.
std::string logFileText(const ScratchDir& scratch);

// A `kiv [extra...] daemon <name> <command>` child (`extra` are kiv's
// options) with its runtime and data directories and its key file in a
// scratch directory. Stopped with SIGTERM (then SIGKILL) when destroyed.
class DaemonProcess {
  public:
    DaemonProcess(const ScratchDir& scratch, std::string name, std::string command,
                  std::vector<std::string> extra = {}, std::vector<std::string> env = {});
    ~DaemonProcess();

    const std::string& name() const { return name_; }
    pid_t pid() const { return pid_; }
    std::string socketPath() const;  // <scratch>/run/kiv/<name>.sock
    std::string keyFile() const;     // <scratch>/key, the daemon's KIV_KEY_FILE
    std::string sessionFile(const std::string& ext) const;
    std::string logText() const;  // the year's log file, "" when none
    // Waits until the log holds `text`; returns the log either way.
    std::string waitLog(const std::string& text, std::chrono::milliseconds limit = 10s) const;

    // Waits until the socket accepts connections.
    bool waitReady(std::chrono::milliseconds limit = 10s);
    // Waits for the process to end; returns its exit status or -1.
    int waitExit(std::chrono::milliseconds limit = 10s);
    void signal(int sig);
    long rssKb() const;  // VmRSS of the daemon

  private:
    const ScratchDir& scratch_;
    std::string name_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// A blocking protocol client with deadlines.
class ProtoClient {
  public:
    explicit ProtoClient(kiv::UniqueFd fd) : fd_(std::move(fd)) {}
    static ProtoClient overUnix(const std::string& path);
    // Connects over TCP and proves `key` to the daemon there; every message
    // afterwards travels sealed. Raises IoError when either side's proof
    // fails, std::runtime_error when the daemon closes or stays silent.
    static ProtoClient overTcp(const kiv::ListenAddr& addr, int port, const kiv::Key& key);

    int fd() const { return fd_.get(); }
    bool send(kiv::MsgKind kind, std::string_view payload);
    // The bytes `send` would put on the wire for this message (sealed over
    // TCP); each call uses up one record of the channel.
    std::string wireBytes(kiv::MsgKind kind, std::string_view payload);
    bool sendRaw(std::string_view bytes);
    bool resize(int cols, int rows);

    // The next message, or nullopt when none arrives in time or the stream
    // ended (then closed() is true).
    std::optional<kiv::Message> next(std::chrono::milliseconds limit = 10s);
    // Collects Output payloads until `done(allOutput)` holds; false on timeout
    // or end of stream.
    bool outputUntil(const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds limit = 10s);
    bool outputContains(const std::string& text, std::chrono::milliseconds limit = 10s);
    // True when the daemon closes the connection within the limit.
    bool waitClosed(std::chrono::milliseconds limit = 10s);

    const std::string& output() const { return output_; }
    std::vector<kiv::Message>& others() { return others_; }  // non-Output messages seen
    bool closed() const { return closed_; }

  private:
    kiv::UniqueFd fd_;
    std::unique_ptr<kiv::SecureChannel> channel_;  // TCP only
    std::string buf_;
    std::string output_;
    std::vector<kiv::Message> others_;
    bool closed_ = false;
};

}  // namespace testsupport
