#include "commerce/export.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <system_error>

namespace quillmere::exporter {

namespace {

constexpr std::array<std::string_view, 15> kHeader = {
    "Match Score", "Relevance",     "Page Type",         "Brand",      "SKU",
    "Condition",   "Title",         "Price Amount",      "Currency",   "Stock Status",
    "Merchant Name", "Merchant Category", "Direct URL", "Original URL", "Primary Image URL"};

// The three-byte form of a lone surrogate (ED A0..BF xx), which text from
// the host may hold and which is no UTF-8.
bool lone_surrogate_at(std::string_view s, std::size_t i) {
    return i + 3 <= s.size() && static_cast<unsigned char>(s[i]) == 0xED &&
           (static_cast<unsigned char>(s[i + 1]) & 0xE0) == 0xA0;
}

[[noreturn]] void fail(int err, const std::string& what) {
    throw std::system_error(err, std::generic_category(), what);
}

// Temporary files are named  .<target name, at most 64 bytes>.<pid>.<12 hex>.tmp
// beside their target: hidden, and told apart from every other file.
constexpr std::size_t kStemBytes = 64;

std::string temp_name(const std::string& stem) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%ld.%08x%04x.tmp", static_cast<long>(::getpid()), rd(),
                  counter.fetch_add(1) & 0xffffu);
    return stem + suffix;
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// The writer's process id when `name` is one of our temporary names for
// `prefix` (the hidden stem and its dot), or -1.
long temp_writer(std::string_view name, std::string_view prefix) {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return -1;
    std::string_view rest = name.substr(prefix.size());
    std::size_t digits = 0;
    while (digits < rest.size() && digits < 10 && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == 0 || rest.size() != digits + 1 + 12 + 4 || rest[digits] != '.') return -1;
    for (std::size_t k = digits + 1; k < digits + 13; ++k)
        if (!is_hex_digit(rest[k])) return -1;
    if (rest.substr(digits + 13) != ".tmp") return -1;
    long pid = std::strtol(std::string(rest.substr(0, digits)).c_str(), nullptr, 10);
    return pid <= 0x7fffffff ? pid : -1;
}

// A writer holds an exclusive lock on its temporary file from the moment
// the file exists under its name until the name is gone (renamed over the
// target or unlinked). Locks die with their process, so a file no one holds
// was left by a writer that was killed. Only files of this user with one
// link are removed, and only when their writer is gone or they are older
// than a minute (a name whose writer has not taken its lock yet is new).
void remove_stale_temporaries(const std::string& dir, const std::string& prefix) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    const std::string sep = dir.back() == '/' ? "" : "/";
    while (const dirent* e = ::readdir(d)) {
        long writer = temp_writer(e->d_name, prefix);
        if (writer < 0) continue;
        std::string name = dir + sep + e->d_name;
        int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) continue;
        struct stat st {};
        bool writer_gone = writer != ::getpid() && ::kill(static_cast<pid_t>(writer), 0) != 0 && errno == ESRCH;
        bool stale = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1 &&
                     (writer_gone || st.st_mtime + 60 < ::time(nullptr)) && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        struct stat now {};
        if (stale && ::lstat(name.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino)
            ::unlink(name.c_str());
        ::close(fd);
    }
    ::closedir(d);
}

// Creates a new file with a fresh name beside `stem`, locked as above; the
// kernel applies the umask to 0666, as it does for a plain create.
int create_unique(const std::string& stem, std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = temp_name(stem);
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::flock(fd, LOCK_EX | LOCK_NB);  // a new file: no one else holds it
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

// The temporary file, unlinked (while still locked) unless released.
struct TempFile {
    std::string path;
    int fd = -1;
    bool keep = false;
    ~TempFile() {
        if (!keep && !path.empty()) ::unlink(path.c_str());
        if (fd >= 0) ::close(fd);
    }
};

void write_all(int fd, std::string_view content, const std::string& path) {
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, path);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void write_in_place(const std::string& path, std::string_view content) {
    TempFile file;  // path left empty: only closes
    file.fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (file.fd < 0) fail(errno, path);
    write_all(file.fd, content, path);
    int fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) fail(errno, path);
}

// Content, permissions and durability of the new file, before it gets the
// target's name.
void fill(int fd, std::string_view content, const struct stat* keep_mode, const std::string& path) {
    write_all(fd, content, path);
    if (keep_mode && ::fchmod(fd, keep_mode->st_mode & 07777) != 0) fail(errno, path);
    if (::fsync(fd) != 0) fail(errno, path);
}

// The complete file replaces the target: renamed over it while still
// locked, then closed.
void replace_with(TempFile& tmp, const std::string& path) {
    if (::rename(tmp.path.c_str(), path.c_str()) != 0) fail(errno, path);
    tmp.keep = true;
    int fd = tmp.fd;
    tmp.fd = -1;
    if (::close(fd) != 0) fail(errno, path);
}

// Linux: the new file has no name while it is written, so a writer killed on
// the way leaves nothing behind. Once complete it is linked in under a
// temporary name and renamed over the target. False where the directory's
// file system (or the kernel) offers no unnamed files, or the file cannot be
// linked in: the named way is then taken.
bool write_unnamed(const std::string& dir, const std::string& stem, const std::string& path,
                   std::string_view content, const struct stat* keep_mode) {
#if defined(O_TMPFILE)
    TempFile tmp;
    tmp.fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (tmp.fd < 0) return false;
    ::flock(tmp.fd, LOCK_EX | LOCK_NB);  // held by the name it is about to get
    fill(tmp.fd, content, keep_mode, path);
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", tmp.fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temp_name(stem);
        if (::linkat(AT_FDCWD, proc_path, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
            ::linkat(tmp.fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) {
            tmp.path = std::move(name);
            replace_with(tmp, path);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
#else
    (void)dir, (void)stem, (void)path, (void)content, (void)keep_mode;
    return false;
#endif
}

void write_named(const std::string& stem, const std::string& path, std::string_view content,
                 const struct stat* keep_mode) {
    TempFile tmp;
    std::string name;
    tmp.fd = create_unique(stem, name);
    if (tmp.fd < 0) fail(errno, path);
    tmp.path = name;
    fill(tmp.fd, content, keep_mode, path);
    replace_with(tmp, path);
}

}  // namespace

std::span<const std::string_view> csv_header() { return kHeader; }

void append_csv_field(std::string& out, std::string_view field) {
    const bool quoted = field.find_first_of(",\"\r\n") != std::string_view::npos;
    if (!quoted && field.find('\xED') == std::string_view::npos) {
        out.append(field);
        return;
    }
    if (quoted) out.push_back('"');
    std::size_t done = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '"' && quoted) {
            out.append(field, done, i + 1 - done);
            out.push_back('"');
            done = i + 1;
        } else if (lone_surrogate_at(field, i)) {
            out.append(field, done, i - done);
            out.append("\xEF\xBF\xBD");
            i += 2;
            done = i + 1;
        }
    }
    out.append(field, done, std::string_view::npos);
    if (quoted) out.push_back('"');
}

void append_csv_row(std::string& out, std::span<const std::string_view> fields) {
    bool first = true;
    for (std::string_view f : fields) {
        if (!first) out.push_back(',');
        first = false;
        append_csv_field(out, f);
    }
    out.append("\r\n");
}

void write_file_atomically(const std::string& path, std::string_view content, Temporary temporary) {
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) fail(EISDIR, path);

    // A replaced file keeps its permissions.
    struct stat st {};
    const struct stat* keep_mode = nullptr;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) fail(EISDIR, path);
        // A device or a pipe (/dev/null, a terminal, a FIFO) is written to,
        // never replaced by a regular file.
        if (!S_ISREG(st.st_mode)) return write_in_place(path, content);
        keep_mode = &st;
    }

    // A short stem keeps the temporary name within the file-name limit.
    std::string hidden(1, '.');
    hidden.append(base, 0, kStemBytes);
    std::string stem = dir + (dir.back() == '/' ? "" : "/") + hidden;
    if (temporary == Temporary::UNNAMED_IF_SUPPORTED && write_unnamed(dir, stem, path, content, keep_mode)) return;
    // Named temporaries can outlive a killed writer: the ones left for this
    // target go first. (Unnamed ones cannot, so that way skips the look
    // through the folder, which would cost each export the folder's size.)
    remove_stale_temporaries(dir, hidden + ".");
    write_named(stem, path, content, keep_mode);
}

}  // namespace quillmere::exporter
