// zelsim's published files, acknowledgements and stored uploads.
#include "tools/zelsim/store.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>
#include <vector>

namespace zelsim {

namespace stdfs = std::filesystem;
using zel::fs::UniqueFd;

namespace {

constexpr std::size_t kChunk = 256 * 1024;
constexpr const char* kTypesFile = ".filetypes";
constexpr const char* kAcknowledgedDir = ".acknowledged";

// Opens a regular file for reading without blocking on a FIFO.
int OpenRegular(const std::string& path, UniqueFd* fd, struct stat* st) {
    UniqueFd f(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!f) return errno;
    if (::fstat(f.get(), st) != 0) return errno;
    if (!S_ISREG(st->st_mode)) return ENOENT;
    *fd = std::move(f);
    return 0;
}

std::string ModeLetters(mode_t mode) {
    std::string fp;
    if (mode & S_IRUSR) fp += 'R';
    if (mode & S_IWUSR) fp += 'W';
    if (mode & S_IXUSR) fp += 'X';
    return fp;
}

// .filetypes: "NAME TYPE [PERM]" per line; "#" lines are comments.
std::map<std::string, std::pair<std::string, std::string>> ReadTypes(const std::string& dir) {
    std::map<std::string, std::pair<std::string, std::string>> types;
    std::ifstream in(dir + "/" + kTypesFile);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name, type, perm;
        if (!(words >> name >> type) || name[0] == '#') continue;
        words >> perm;
        types[name] = {type, perm};
    }
    return types;
}

int FlushDirectory(const std::string& dir) {
    UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!d) return errno;
    return zel::fs::FlushToDisk(d.get());
}

int MakeParents(const std::string& path) {
    std::error_code ec;
    stdfs::create_directories(stdfs::path(path).parent_path(), ec);
    return ec ? (ec.value() ? ec.value() : EIO) : 0;
}

}  // namespace

bool SafeContract(std::string_view uc) {
    return !uc.empty() && uc[0] != '.' && uc.find('/') == std::string_view::npos &&
           uc.find('\0') == std::string_view::npos;
}

std::string SafeRelativePath(std::string_view name) {
    std::string out;
    while (!name.empty()) {
        auto slash = name.find('/');
        std::string_view part = name.substr(0, slash);
        name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
        if (part.empty()) continue;
        if (part[0] == '.' || part.find('\0') != std::string_view::npos) return {};
        if (!out.empty()) out += '/';
        out += part;
    }
    return out;
}

int FileCrc32(int fd, std::uint32_t* crc) {
    std::vector<unsigned char> buf(kChunk);
    uLong c = crc32(0L, Z_NULL, 0);
    for (off_t at = 0;;) {
        ssize_t n = ::pread(fd, buf.data(), buf.size(), at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        c = crc32(c, buf.data(), static_cast<uInt>(n));
        at += n;
    }
    *crc = static_cast<std::uint32_t>(c);
    return 0;
}

int Store::List(const std::string& uc, const std::string& filter,
                std::vector<Published>* out) const {
    out->clear();
    if (data_dir_.empty() || !SafeContract(uc)) return 0;
    const std::string root = data_dir_ + "/" + uc;
    std::error_code ec;
    if (!stdfs::is_directory(root, ec)) return 0;
    const auto types = ReadTypes(root);
    std::vector<Published> found;
    stdfs::recursive_directory_iterator it(root, ec), end;
    if (ec) return ec.value();
    for (; it != end; it.increment(ec)) {
        if (ec) return ec.value();
        const std::string base = it->path().filename().string();
        // Hidden entries are the simulator's own (.filetypes, .acknowledged).
        if (base.empty() || base[0] == '.') {
            if (it->is_directory(ec)) it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec)) continue;
        // The dealer side scans the list as plain text: a name holding a
        // tag character could not be told from the markup.
        const std::string fn = stdfs::relative(it->path(), root, ec).generic_string();
        if (ec || fn.find_first_of("<>") != std::string::npos) continue;
        if (!filter.empty() && !zel::fs::WildcardMatch(filter, base)) continue;
        UniqueFd fd;
        struct stat st;
        if (OpenRegular(it->path().string(), &fd, &st) != 0) continue;
        Published p;
        p.fn = fn;
        if (int rc = FileCrc32(fd.get(), &p.fc)) return rc;
        auto t = types.find(fn);
        p.ft = t != types.end() ? t->second.first : "Static";
        p.fp = t != types.end() && !t->second.second.empty() ? t->second.second
                                                             : ModeLetters(st.st_mode);
        found.push_back(std::move(p));
    }
    std::sort(found.begin(), found.end(),
              [](const Published& a, const Published& b) { return a.fn < b.fn; });
    *out = std::move(found);
    return 0;
}

int Store::Open(const std::string& uc, const std::string& fn, UniqueFd* fd,
                std::uint64_t* size) const {
    const std::string rel = SafeRelativePath(fn);
    if (data_dir_.empty() || !SafeContract(uc) || rel.empty()) return ENOENT;
    struct stat st;
    if (int rc = OpenRegular(data_dir_ + "/" + uc + "/" + rel, fd, &st)) return rc;
    *size = static_cast<std::uint64_t>(st.st_size);
    return 0;
}

int Store::Acknowledge(const std::string& uc, const std::string& fn) const {
    const std::string rel = SafeRelativePath(fn);
    if (data_dir_.empty() || !SafeContract(uc) || rel.empty()) return ENOENT;
    const std::string from = data_dir_ + "/" + uc + "/" + rel;
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return ENOENT;
    const std::string to = data_dir_ + "/" + uc + "/" + kAcknowledgedDir + "/" + rel;
    if (int rc = MakeParents(to)) return rc;
    return zel::fs::RenameReplace(from, to);
}

Upload::~Upload() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

int Upload::Begin(const std::string& upload_dir, const std::string& uc, const std::string& path) {
    final_ = upload_dir + "/" + uc + "/" + path;
    if (int rc = MakeParents(final_)) return error_ = rc;
    std::string tmpl = stdfs::path(final_).parent_path().string() + "/.zelsim-upload.XXXXXX";
    int fd = ::mkstemp(tmpl.data());
    if (fd < 0) return error_ = errno;
    fd_.reset(fd);
    temp_ = tmpl;
    return 0;
}

void Upload::Write(const char* data, std::size_t size) {
    crc_ = static_cast<std::uint32_t>(
        crc32(crc_, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
    length_ += size;
    if (!fd_ || error_ != 0) return;
    while (size > 0) {
        ssize_t n = ::write(fd_.get(), data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

int Upload::Commit(bool durable) {
    if (error_ != 0) return error_;
    if (!fd_) return 0;  // nowhere to store: checked and discarded
    if (::fchmod(fd_.get(), 0644) != 0) return errno;
    if (durable) {
        if (int rc = zel::fs::FlushToDisk(fd_.get())) return rc;
    }
    fd_.reset();
    if (int rc = zel::fs::RenameReplace(temp_, final_)) return rc;
    temp_.clear();
    return durable ? FlushDirectory(stdfs::path(final_).parent_path().string()) : 0;
}

}  // namespace zelsim
