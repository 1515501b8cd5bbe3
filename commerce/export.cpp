#include "commerce/export.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
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

// Creates a new file with a fresh name beside `stem`; the kernel applies the
// umask to 0666, as it does for a plain create.
int create_unique(const std::string& stem, std::string& name) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, ".%ld.%08x%04x.tmp", static_cast<long>(::getpid()), rd(),
                      counter.fetch_add(1) & 0xffffu);
        name = stem + suffix;
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Removes the temporary file unless released.
struct TempFile {
    std::string path;
    int fd = -1;
    bool keep = false;
    ~TempFile() {
        if (fd >= 0) ::close(fd);
        if (!keep && !path.empty()) ::unlink(path.c_str());
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

void write_file_atomically(const std::string& path, std::string_view content) {
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) fail(EISDIR, path);

    // A replaced file keeps its permissions.
    bool keep_mode = false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) fail(EISDIR, path);
        // A device or a pipe (/dev/null, a terminal, a FIFO) is written to,
        // never replaced by a regular file.
        if (!S_ISREG(st.st_mode)) return write_in_place(path, content);
        keep_mode = true;
    }

    TempFile tmp;
    std::string name;
    // A short stem keeps the temporary name within the file-name limit.
    std::string stem = dir + (dir.back() == '/' ? "" : "/") + "." + base.substr(0, 64);
    tmp.fd = create_unique(stem, name);
    if (tmp.fd < 0) fail(errno, path);
    tmp.path = name;

    write_all(tmp.fd, content, path);
    if (keep_mode && ::fchmod(tmp.fd, st.st_mode & 07777) != 0) fail(errno, path);
    if (::fsync(tmp.fd) != 0) fail(errno, path);
    int fd = tmp.fd;
    tmp.fd = -1;
    if (::close(fd) != 0) fail(errno, path);
    if (::rename(tmp.path.c_str(), path.c_str()) != 0) fail(errno, path);
    tmp.keep = true;
}

}  // namespace quillmere::exporter
