// The per-user key file: where it is, how a daemon makes it, and the files
// a client or daemon must refuse.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>

#include "kiv/errors.h"
#include "kiv/key_file.h"
#include "tests/support/errors.h"
#include "tests/support/scratch.h"

using namespace kiv;
using testsupport::EnvVar;
using testsupport::ScratchDir;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool sameKey(const Key& a, const Key& b) {
    return std::memcmp(a.data(), b.data(), KeySize) == 0;
}

TEST(KeyFilePath, NamedFileThenConfigHomeThenHome) {
    EnvVar named("KIV_KEY_FILE", nullptr);
    EnvVar xdg("XDG_CONFIG_HOME", nullptr);
    EnvVar home("HOME", "/home/u");
    EXPECT_EQ(keyFilePath(), "/home/u/.config/kiv/key");
    {
        EnvVar relative("XDG_CONFIG_HOME", "conf");  // not absolute: ignored
        EXPECT_EQ(keyFilePath(), "/home/u/.config/kiv/key");
        EnvVar empty("XDG_CONFIG_HOME", "");
        EXPECT_EQ(keyFilePath(), "/home/u/.config/kiv/key");
    }
    EnvVar config("XDG_CONFIG_HOME", "/etc/u/");
    EXPECT_EQ(keyFilePath(), "/etc/u/kiv/key");
    EnvVar emptyNamed("KIV_KEY_FILE", "");
    EXPECT_EQ(keyFilePath(), "/etc/u/kiv/key");
    EnvVar other("KIV_KEY_FILE", "/srv/keys/kiv");
    EXPECT_EQ(keyFilePath(), "/srv/keys/kiv");
}

TEST(KeyFile, DaemonMakesAPrivateKeyOnceAndKeepsIt) {
    ScratchDir scratch;
    std::string path = scratch / "config/kiv/key";
    LoadedKey made = loadOrCreateKeyFile(path);
    EXPECT_TRUE(made.created);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(scratch / "config/kiv"), 0700u);
    EXPECT_EQ(modeOf(scratch / "config"), 0700u);
    EXPECT_EQ(testsupport::readFile(path).size(), KeySize);

    LoadedKey again = loadOrCreateKeyFile(path);
    EXPECT_FALSE(again.created);
    EXPECT_TRUE(sameKey(made.key, again.key));
    EXPECT_TRUE(sameKey(made.key, readKeyFile(path)));
    EXPECT_FALSE(sameKey(made.key, loadOrCreateKeyFile(scratch / "other").key));
}

TEST(KeyFile, RefusesWhatIsNotAPrivateKey) {
    ScratchDir scratch;
    std::string key(KeySize, 'k');
    struct Case {
        const char* name;
        std::string content;  // empty: leave no file
        mode_t mode;
        std::string message;  // with <path> for the file's path
    } cases[] = {
        {"missing", "", 0,
         "no key file <path>: copy the key file from the daemon's machine (~/.config/kiv/key "
         "there by default) to this path, mode 0600"},
        {"readable by all", key, 0644,
         "key file <path> is open to other users (mode 0644): chmod 600 <path>"},
        {"readable by the group", key, 0640,
         "key file <path> is open to other users (mode 0640): chmod 600 <path>"},
        {"writable by others", key, 0602,
         "key file <path> is open to other users (mode 0602): chmod 600 <path>"},
        {"short", std::string(KeySize - 1, 'k'), 0600,
         "key file <path> is not a kiv key (32 bytes expected)"},
        {"long", std::string(KeySize + 1, 'k'), 0600,
         "key file <path> is not a kiv key (32 bytes expected)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = scratch / c.name;
        if (!c.content.empty()) {
            testsupport::writeFile(path, c.content);
            chmod(path.c_str(), c.mode);
        }
        std::string expected = c.message;
        for (size_t at; (at = expected.find("<path>")) != std::string::npos;)
            expected.replace(at, 6, path);
        EXPECT_EQ(testsupport::errorOf<SystemError>([&] { readKeyFile(path); }), expected);
        // A daemon refuses an existing bad file too, and leaves it as it is.
        if (!c.content.empty()) {
            EXPECT_EQ(testsupport::errorOf<SystemError>([&] { loadOrCreateKeyFile(path); }),
                      expected);
            EXPECT_EQ(testsupport::readFile(path), c.content);
        }
    }
    EXPECT_EQ(testsupport::errorOf<SystemError>([&] { readKeyFile(scratch.path()); }),
              "key file " + scratch.path() + " is not a regular file");
}

}  // namespace
