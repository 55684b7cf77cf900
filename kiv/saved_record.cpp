#include "kiv/saved_record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kiv/errors.h"
#include "kiv/fd.h"
#include "kiv/runtime.h"
#include "kiv/session_files.h"

namespace kiv {

namespace {

constexpr std::string_view Magic = "KIVSAVED";
constexpr std::string_view Extension = ".session";
// Metadata is small: names, a command line, a directory.
constexpr uint32_t MaxMetaBytes = 1024 * 1024;

enum Tag : uint8_t {
    TagName = 1,
    TagArg = 2,
    TagCwd = 3,
    TagStarted = 4,
    TagSaved = 5,
    TagPid = 6,
    TagBoot = 7,
    TagCols = 8,
    TagRows = 9,
    TagHasContent = 10,
    TagEndHow = 11,
    TagEndCode = 12,
    TagEndedAt = 13,
    TagJobArg = 14,
    TagJobCwd = 15,
};

void putU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += char((v >> (8 * i)) & 0xff);
}

void putU64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out += char((v >> (8 * i)) & 0xff);
}

uint64_t getLE(std::string_view bytes, size_t at, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i)
        v = (v << 8) | uint8_t(bytes[at + i]);
    return v;
}

void putField(std::string& out, Tag tag, std::string_view value) {
    out += char(tag);
    putU32(out, uint32_t(value.size()));
    out += value;
}

void putNumber(std::string& out, Tag tag, int64_t v) {
    std::string value;
    putU64(value, uint64_t(v));
    putField(out, tag, value);
}

// Reads the record's parts in order, each bounded by what is left.
class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    std::string_view take(size_t n, const char* what) {
        if (bytes_.size() - at_ < n) throw IoError(std::string("truncated ") + what);
        std::string_view part = bytes_.substr(at_, n);
        at_ += n;
        return part;
    }
    uint64_t number(int width, const char* what) { return getLE(take(width, what), 0, width); }
    size_t left() const { return bytes_.size() - at_; }

  private:
    std::string_view bytes_;
    size_t at_ = 0;
};

void readMeta(std::string_view meta, SavedRecord& r) {
    Reader in(meta);
    while (in.left() > 0) {
        auto tag = Tag(in.number(1, "field"));
        std::string_view value = in.take(in.number(4, "field"), "field");
        auto number = [&] {
            if (value.size() != 8) throw IoError("bad number field");
            return int64_t(getLE(value, 0, 8));
        };
        switch (tag) {
            case TagName:
                r.name = value;
                break;
            case TagArg:
                r.command.emplace_back(value);
                break;
            case TagCwd:
                r.cwd = value;
                break;
            case TagStarted:
                r.started = number();
                break;
            case TagSaved:
                r.saved = number();
                break;
            case TagPid:
                r.pid = number();
                break;
            case TagBoot:
                r.bootId = value;
                break;
            case TagCols:
                r.cols = number();
                break;
            case TagRows:
                r.rows = number();
                break;
            case TagHasContent:
                r.hasContent = number() != 0;
                break;
            case TagEndHow: {
                int64_t how = number();
                if (how < 0 || how > int64_t(SessionEnd::How::Killed)) throw IoError("bad end");
                if (!r.end) r.end.emplace();
                r.end->how = SessionEnd::How(how);
                break;
            }
            case TagEndCode:
                if (!r.end) r.end.emplace();
                r.end->code = int(number());
                break;
            case TagEndedAt:
                r.endedAt = number();
                break;
            case TagJobArg:
                r.job.emplace_back(value);
                break;
            case TagJobCwd:
                r.jobCwd = value;
                break;
            default:
                break;  // a later version's field
        }
    }
    if (!validSessionName(r.name)) throw IoError("no valid session name");
    if (r.command.empty() || r.command.front().empty()) throw IoError("no command");
    if (!r.job.empty() && r.job.front().empty()) throw IoError("bad foreground job");
    if (r.job.empty()) r.jobCwd.clear();
    // No daemon ever had a larger screen (see fitGrid).
    if (r.cols < 1 || r.rows < 1 || r.cols > 4096 || r.rows > 4096 || r.cols * r.rows > (1 << 20))
        throw IoError("bad screen size");
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
    throw IoError(path + ": " + why);
}

}  // namespace

std::string encodeRecord(const SavedRecord& r) {
    std::string meta;
    putField(meta, TagName, r.name);
    for (const std::string& word : r.command)
        putField(meta, TagArg, word);
    putField(meta, TagCwd, r.cwd);
    putNumber(meta, TagStarted, r.started);
    putNumber(meta, TagSaved, r.saved);
    putNumber(meta, TagPid, r.pid);
    putField(meta, TagBoot, r.bootId);
    putNumber(meta, TagCols, r.cols);
    putNumber(meta, TagRows, r.rows);
    putNumber(meta, TagHasContent, r.hasContent ? 1 : 0);
    if (!r.job.empty()) {
        for (const std::string& word : r.job)
            putField(meta, TagJobArg, word);
        putField(meta, TagJobCwd, r.jobCwd);
    }
    if (r.end) {
        putNumber(meta, TagEndHow, int64_t(r.end->how));
        putNumber(meta, TagEndCode, r.end->code);
        putNumber(meta, TagEndedAt, r.endedAt);
    }
    std::string_view content = r.hasContent ? std::string_view(r.content) : std::string_view();

    std::string out(Magic);
    putU32(out, RecordVersion);
    putU32(out, uint32_t(meta.size()));
    out += meta;
    putU64(out, fnv1a(out));  // magic, version and metadata
    putU64(out, content.size());
    out += content;
    putU64(out, fnv1a(content));
    return out;
}

namespace {

// The metadata from the record's head (what comes before the content),
// checked, and the content's length checked against the file's size.
SavedRecord decodeHead(std::string_view head, uint64_t fileSize, size_t& contentAt) {
    if (head.substr(0, Magic.size()) != Magic) throw IoError("not a kiv saved record");
    Reader in(head);
    in.take(Magic.size(), "header");
    auto version = uint32_t(in.number(4, "header"));
    if (version > RecordVersion)
        throw IoError("made by a newer kiv (format " + std::to_string(version) + ")");
    if (version < OldestRecordVersion)
        throw IoError("unknown format " + std::to_string(version));
    uint64_t metaSize = in.number(4, "header");
    if (metaSize > MaxMetaBytes) throw IoError("metadata too large");
    std::string_view meta = in.take(metaSize, "metadata");
    size_t headed = Magic.size() + 8 + metaSize;
    if (in.number(8, "metadata") != fnv1a(head.substr(0, headed)))
        throw IoError("metadata check failed");
    uint64_t contentSize = in.number(8, "content");
    contentAt = headed + 16;
    bool room = fileSize >= contentAt + 8;
    if (!room || fileSize - contentAt - 8 < contentSize) throw IoError("truncated content");
    if (fileSize - contentAt - 8 != contentSize) throw IoError("wrong length");
    SavedRecord r;
    readMeta(meta, r);
    if (!r.hasContent && contentSize != 0) throw IoError("content where none was saved");
    return r;
}

}  // namespace

SavedRecord decodeRecord(std::string_view bytes, bool whole) {
    size_t contentAt = 0;
    SavedRecord r = decodeHead(bytes, bytes.size(), contentAt);
    if (!whole) return r;
    std::string_view content = bytes.substr(contentAt, bytes.size() - contentAt - 8);
    if (getLE(bytes, bytes.size() - 8, 8) != fnv1a(content)) throw IoError("content check failed");
    r.content = content;
    return r;
}

std::string recordPath(const std::string& dir, std::string_view name) {
    return joinPath(dir, toHex(fnv1a(name))) + std::string(Extension);
}

void writeRecord(const std::string& dir, const SavedRecord& record) {
    std::string path = recordPath(dir, record.name);
    std::string temp = path + ".tmp";
    unlink(temp.c_str());  // left by a daemon that died while writing, or planted
    std::string bytes = encodeRecord(record);
    UniqueFd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) throw SystemError("cannot write saved record: " + temp + ": " + std::strerror(errno));
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : ENOSPC;
            unlink(temp.c_str());
            throw SystemError("cannot write saved record: " + temp + ": " + std::strerror(err));
        }
        done += size_t(n);
    }
    // On disk before it takes the old record's place: after a machine's
    // crash, the case this record is for, a renamed file whose data never
    // reached the disk would be empty or torn.
    if (fsync(fd.get()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        throw SystemError("cannot write saved record: " + temp + ": " + std::strerror(err));
    }
    fd.reset();
    // The old record stays whole until the new one is: a crash in between
    // leaves one or the other, never a mix.
    if (rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        throw SystemError("cannot write saved record: " + path + ": " + std::strerror(err));
    }
    // And the rename itself: without it the directory may still name the
    // old file after a crash (harmless, but a record behind). Best effort.
    if (UniqueFd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); d) fsync(d.get());
}

SavedRecord readRecord(const std::string& path, bool whole) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno == ELOOP) refuse(path, "a symbolic link");
        throw SystemError("cannot read saved record: " + path + ": " + std::strerror(errno));
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        throw SystemError("cannot read saved record: " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse(path, "not a regular file");
    if (st.st_uid != geteuid()) refuse(path, "owned by uid " + std::to_string(st.st_uid));
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        refuse(path, std::string("mode ") + mode + ", not 0600");
    }
    if (size_t(st.st_size) > MaxRecordBytes) refuse(path, "too large");
    // Without the content only the head is read; its length must still
    // match the file's.
    size_t want = whole ? size_t(st.st_size) : std::min<size_t>(st.st_size, MaxMetaBytes + 64);
    std::string bytes(want, '\0');
    size_t got = 0;
    while (got < want) {
        ssize_t n = ::read(fd.get(), bytes.data() + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            throw SystemError("cannot read saved record: " + path + ": " + std::strerror(errno));
        if (n == 0) break;
        got += size_t(n);
    }
    bytes.resize(got);
    try {
        if (whole) {
            if (got != size_t(st.st_size)) throw IoError("truncated while read");
            return decodeRecord(bytes, true);
        }
        size_t contentAt = 0;
        return decodeHead(bytes, uint64_t(st.st_size), contentAt);
    } catch (const IoError& e) {
        refuse(path, std::string("damaged: ") + e.what());
    }
}

std::optional<SavedRecord> loadRecord(const std::string& dir, std::string_view name, bool whole) {
    std::string path = recordPath(dir, name);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) return std::nullopt;
    SavedRecord r = readRecord(path, whole);
    if (r.name != name) refuse(path, "holds another session (" + printableName(r.name) + ")");
    return r;
}

void removeRecord(const std::string& dir, std::string_view name) {
    std::string path = recordPath(dir, name);
    unlink(path.c_str());
    unlink((path + ".tmp").c_str());  // a write its daemon did not live to finish
}

std::vector<RecordEntry> listRecords(const std::string& dir) {
    std::vector<RecordEntry> entries;
    DIR* d = opendir(dir.c_str());
    if (!d) return entries;
    while (dirent* entry = readdir(d)) {
        std::string file = entry->d_name;
        if (file.size() <= Extension.size() ||
            file.compare(file.size() - Extension.size(), Extension.size(), Extension) != 0)
            continue;
        RecordEntry e{joinPath(dir, file), std::nullopt, ""};
        try {
            e.record = readRecord(e.path, false);
        } catch (const Error& err) {
            e.problem = err.what();
        }
        entries.push_back(std::move(e));
    }
    closedir(d);
    return entries;
}

std::string currentBootId() {
    UniqueFd fd(open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC));
    char buf[64];
    ssize_t n = fd ? ::read(fd.get(), buf, sizeof buf) : -1;
    if (n <= 0) return "";
    std::string id(buf, size_t(n));
    while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
        id.pop_back();
    return id;
}

}  // namespace kiv
