#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace lcfleet {

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

namespace {

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::istringstream in(path);
    std::string part;
    while (std::getline(in, part, '/'))
        if (!part.empty() && part != ".") parts.push_back(part);
    return parts;
}

// Follows path as the kernel would and fails at the first symbolic link that belongs
// to a user other than this one or root: in a sticky directory like /tmp its owner
// can point it somewhere else after any check.
bool linksOfOthers(const std::string& path, std::string& error) {
    std::vector<std::string> todo = components(path);
    std::reverse(todo.begin(), todo.end());
    std::string at;  // resolved so far; "" is /
    for (int links = 0; !todo.empty();) {
        std::string part = todo.back();
        todo.pop_back();
        if (part == "..") {
            at = dirName(at.empty() ? "/" : at);
            if (at == "/") at.clear();
            continue;
        }
        std::string next = at + "/" + part;
        struct stat st {};
        if (lstat(next.c_str(), &st) != 0) return false;  // nothing further to follow
        if (!S_ISLNK(st.st_mode)) {
            at = next;
            continue;
        }
        char target[PATH_MAX];
        ssize_t n = readlink(next.c_str(), target, sizeof target - 1);
        if (st.st_uid != 0 && st.st_uid != geteuid()) {
            error = next + " is a symbolic link of uid " + std::to_string(st.st_uid) + ", who can point it elsewhere";
            return true;
        }
        if (n <= 0 || ++links > 40) return false;  // realpath reports these
        std::vector<std::string> more = components(std::string(target, static_cast<size_t>(n)));
        if (target[0] == '/') at.clear();
        todo.insert(todo.end(), more.rbegin(), more.rend());
    }
    return false;
}

}  // namespace

std::string absolutePath(const std::string& path) {
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        char cwd[PATH_MAX];
        full = joinPath(getcwd(cwd, sizeof cwd) ? cwd : "/", path);
    }
    std::vector<std::string> parts;
    std::istringstream in(full);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    // Symbolic links in the part that exists are resolved, so that one state directory has
    // one name however it is reached (its log keeper is found by that name); but not
    // through another user's link, which onlyOwnerCanChange then refuses.
    std::string lexical;
    for (const auto& p : parts) lexical += "/" + p;
    std::string ignored;
    if (linksOfOthers(lexical, ignored)) return lexical.empty() ? "/" : lexical;
    for (size_t keep = parts.size();; --keep) {
        std::string head;
        for (size_t i = 0; i < keep; ++i) head += "/" + parts[i];
        char* real = realpath(head.empty() ? "/" : head.c_str(), nullptr);
        if (!real && keep > 0) continue;
        std::string out = real ? real : "";
        free(real);
        if (out == "/") out.clear();
        for (size_t i = keep; i < parts.size(); ++i) out += "/" + parts[i];
        return out.empty() ? "/" : out;
    }
}

std::string dirName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return true;
}

std::string readTail(const std::string& path, uint64_t bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return "";
    struct stat st {};
    std::string text;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        uint64_t size = static_cast<uint64_t>(st.st_size);
        uint64_t from = size > bytes ? size - bytes : 0;
        text.resize(static_cast<size_t>(size - from));
        ssize_t n = pread(fd, text.data(), text.size(), static_cast<off_t>(from));
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    close(fd);
    return text;
}

std::string afterRotated(const std::string& live, const std::string& rotatedPath, uint64_t bytes) {
    if (live.size() >= bytes / 4) return live;
    std::string old = readTail(rotatedPath, bytes - std::min<uint64_t>(live.size(), bytes));
    if (!old.empty() && old.back() != '\n' && old.back() != '\r') old += '\n';
    return old + live;
}

uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool writeFileAtomic(const std::string& path, const std::string& text, unsigned mode) {
    std::string tmp = path + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (ok) ok = chmod(tmp.c_str(), mode) == 0 && rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

bool appendFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // A short write is followed by one that says why (a full disk, a file size limit).
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    int err = errno;
    bool ok = close(fd) == 0 && done == text.size();
    if (!ok && done != text.size()) errno = err;
    return ok;
}

bool listDirectory(const std::string& dir, std::vector<std::string>& names) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    return true;
}

bool onlyOwnerCanChange(const std::string& dir, std::string& error, bool parentOfNew) {
    if (linksOfOthers(dir, error)) return false;
    char real[PATH_MAX];
    if (!realpath(dir.c_str(), real)) {
        error = "cannot resolve " + dir + ": " + std::strerror(errno);
        return false;
    }
    const uid_t self = geteuid();
    for (std::string d = real;; d = dirName(d)) {
        struct stat st {};
        if (stat(d.c_str(), &st) != 0) {
            error = "cannot look at " + d + ": " + std::strerror(errno);
            return false;
        }
        bool owner = st.st_uid == self || st.st_uid == 0;
        bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        // The state directory itself must not be sticky-shared: others could add files to it.
        bool shared = othersWrite && (d != real || parentOfNew ? (st.st_mode & S_ISVTX) == 0 : true);
        if (!owner || shared) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            error = d + " can be changed by other users (owner uid " + std::to_string(st.st_uid) + ", mode " + mode +
                    ")";
            return false;
        }
        if (d == "/") return true;
    }
}

bool makeDirectories(const std::string& dir, const std::string& existing, std::vector<std::string>& made,
                     std::string& error) {
    if (dir == existing || dir == "/" || dir.empty()) return true;
    std::string parent = dirName(dir);
    if (parent != dir && !makeDirectories(parent, existing, made, error)) return false;
    if (mkdir(dir.c_str(), 0755) == 0) {
        made.push_back(dir);
        return true;
    }
    error = errno == EEXIST ? dir + " appeared while lcfleet checked its place; refusing a directory it did not make"
                            : "cannot make " + dir + ": " + std::strerror(errno);
    return false;
}

namespace {

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// At most max bytes of fd from offset on.
std::string readFd(int fd, uint64_t offset, uint64_t max) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) <= offset) return "";
    std::string text(static_cast<size_t>(std::min(static_cast<uint64_t>(st.st_size) - offset, max)), '\0');
    ssize_t n = pread(fd, text.data(), text.size(), static_cast<off_t>(offset));
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

}  // namespace

LogMark::LogMark(const std::string& log, const std::string& oldLog) : log_(log), oldLog_(oldLog) {
    fd_ = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd_ >= 0 && fstat(fd_, &st) == 0) size_ = static_cast<uint64_t>(st.st_size);
}

LogMark::~LogMark() {
    if (fd_ >= 0) close(fd_);
}

std::string LogMark::since(uint64_t max) const {
    if (fd_ < 0) return readFrom(log_, 0, max);
    struct stat marked {}, now {}, old {};
    fstat(fd_, &marked);
    bool logThere = stat(log_.c_str(), &now) == 0;
    if (logThere && sameFile(now, marked)) {  // not rotated; emptied in place by an earlier keeper
        return readFd(fd_, now.st_size < static_cast<off_t>(size_) ? 0 : size_, max);
    }
    std::string text = readFd(fd_, size_, max);
    if (stat(oldLog_.c_str(), &old) == 0 && !sameFile(old, marked) && !(logThere && sameFile(old, now)))
        text += readFrom(oldLog_, 0, max);  // a part in between: rotated more than once
    return text + (logThere ? readFrom(log_, 0, max) : "");
}

std::string readFrom(const std::string& path, uint64_t offset, uint64_t max) {
    uint64_t size = fileSize(path);
    if (size <= offset) return "";
    uint64_t want = std::min(size - offset, max);
    std::string text(static_cast<size_t>(want), '\0');
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return "";
    ssize_t n = pread(fd, text.data(), text.size(), static_cast<off_t>(offset));
    close(fd);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

}  // namespace lcfleet
