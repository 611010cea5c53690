#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>

namespace lcfleet {

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

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
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
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
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
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

bool makeDirectories(const std::string& dir, std::vector<std::string>& made, std::string& error) {
    if (isDirectory(dir)) return true;
    std::string parent = dirName(dir);
    if (parent != dir && !makeDirectories(parent, made, error)) return false;
    if (mkdir(dir.c_str(), 0755) == 0) {
        made.push_back(dir);
        return true;
    }
    if (errno == EEXIST && isDirectory(dir)) return true;
    error = "cannot make " + dir + ": " + std::strerror(errno);
    return false;
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
