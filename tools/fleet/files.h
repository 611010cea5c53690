// Small file helpers for the state directory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lcfleet {

std::string joinPath(const std::string& dir, const std::string& name);
// An absolute, lexically normalised path ("." and ".." resolved) for a path given
// relative to the working directory, with symbolic links resolved as far as it exists
// (none when one on the way is another user's: then the path is only normalised).
std::string absolutePath(const std::string& path);
std::string dirName(const std::string& path);

bool exists(const std::string& path);
bool isDirectory(const std::string& path);
bool readFile(const std::string& path, std::string& text);
// The last bytes of a file (all of it when shorter); "" when it cannot be read.
std::string readTail(const std::string& path, uint64_t bytes);
// The end of a file that rotates: live (its last bytes as read), after the end of the
// rotated part when live is shorter than a quarter of bytes; bytes in all at most.
std::string afterRotated(const std::string& live, const std::string& rotatedPath, uint64_t bytes);
// The bytes of a file from offset on (at most max); "" when there are none.
std::string readFrom(const std::string& path, uint64_t offset, uint64_t max);
uint64_t fileSize(const std::string& path);  // 0 when missing

// A place in a log that may be rotated (renamed to oldLog, a new log begun): the file
// then in place, held open, and its size then.
class LogMark {
public:
    LogMark(const std::string& log, const std::string& oldLog);
    ~LogMark();
    LogMark(const LogMark&) = delete;
    LogMark& operator=(const LogMark&) = delete;
    // What was written since the mark (at most max bytes of each part), also across
    // rotations: the rest of the marked file, a part in between, then the new log.
    std::string since(uint64_t max = 1 << 20) const;

private:
    std::string log_, oldLog_;
    int fd_ = -1;  // -1: there was no log
    uint64_t size_ = 0;
};
// Writes the whole text under path.new and renames it into place.
bool writeFileAtomic(const std::string& path, const std::string& text, unsigned mode = 0644);
bool appendFile(const std::string& path, const std::string& text);
// Names in a directory other than . and ..; false when it cannot be read.
bool listDirectory(const std::string& dir, std::vector<std::string>& names);
// True when only this user (root) can change what dir holds: dir and every directory
// above it are owned by it (or by root) and writable by no one else, unless sticky
// like /tmp, where others cannot rename or remove what is not theirs. Symbolic links
// on the way (dir is absolute) are followed when they are root's or this user's, and
// refused otherwise. Otherwise false with the reason in error. With parentOfNew,
// dir is where a new directory is to be made: it may be sticky like the ones above.
bool onlyOwnerCanChange(const std::string& dir, std::string& error, bool parentOfNew = false);
// Makes dir and any missing parents below existing (the deepest directory that existed
// when it was checked), each with mkdir: one that appeared meanwhile (someone else's,
// made in a sticky directory) is an error, never used. made lists the directories it
// created, outermost first.
bool makeDirectories(const std::string& dir, const std::string& existing, std::vector<std::string>& made,
                     std::string& error);

}  // namespace lcfleet
