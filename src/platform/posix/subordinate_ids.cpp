#include "platform/posix/subordinate_ids.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/posix/system_folder.h"

namespace velmora::vpn::platform {
namespace {

struct Range {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    uid_t owner = 0;
};

// What a line names as the owner: a uid, or a user's name.
bool ownerOf(const std::string& name, uid_t& owner) {
    std::uint64_t number = 0;
    const auto [end, failure] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (failure == std::errc() && end == name.data() + name.size()) {
        owner = static_cast<uid_t>(number);
        return number <= 0xFFFFFFFEu;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
    owner = found->pw_uid;
    return true;
}

std::vector<Range> parse(const std::string& text) {
    std::vector<Range> ranges;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        Range range;
        const auto number = [&](std::size_t from, std::size_t to, std::uint64_t& value) {
            return std::from_chars(line.data() + from, line.data() + to, value).ec == std::errc();
        };
        if (number(first + 1, second, range.first) && number(second + 1, line.size(), range.count) &&
            ownerOf(line.substr(0, first), range.owner))
            ranges.push_back(range);
    }
    return ranges;
}

constexpr std::size_t kMostBytes = 1 << 20;

// The kernel stamps times at the granularity of its clock tick, so a chmod or
// chown in the same tick as the last read leaves both times as they were: the
// mode and owner are compared for themselves.
bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mode == b.st_mode &&
           a.st_uid == b.st_uid && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

uid_t ownerIn(const std::vector<Range>& ranges, uid_t uid) {
    for (const Range& range : ranges)
        if (uid >= range.first && uid - range.first < range.count) return range.owner;
    return uid;
}

}  // namespace

uid_t delegatingUser(uid_t uid) {
    static std::mutex mutex;           // guards the three below
    static bool known = false;         // whether a reading was made
    static struct stat seen {};        // the file as then found (all zero: there was none)
    static std::vector<Range> ranges;  // what it delegated then (nothing if it was not trusted)

    // Every connection asks: one stat of the name, never followed, tells
    // whether the file is still the one read. Anything that could change what
    // it delegates (a write, a new file, chmod, chown) changes that stat;
    // only then is it opened safely and read again, outside the lock.
    struct stat named {};
    if (fstatat(AT_FDCWD, "/etc/subuid", &named, AT_SYMLINK_NOFOLLOW) != 0) named = {};
    {
        std::lock_guard lock(mutex);
        if (known && sameFile(named, seen)) return ownerIn(ranges, uid);
    }
    SystemError ignored;
    const OwnedHandle folder = openSystemFolder("/etc", false, ignored);
    const OwnedHandle file(folder ? openat(folder.get(), "subuid", O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
    struct stat opened {};
    const bool trusted = file && fstat(file.get(), &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == 0 &&
                         (opened.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
                         static_cast<std::size_t>(opened.st_size) <= kMostBytes;
    std::vector<Range> read;
    if (trusted) {
        std::string text(static_cast<std::size_t>(opened.st_size), '\0');
        const ssize_t got = pread(file.get(), text.data(), text.size(), 0);
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        read = parse(text);
    }
    std::lock_guard lock(mutex);
    // What was read is described by the file it was read from; a change
    // after the name's stat is seen at the next connection.
    seen = trusted ? opened : named;
    ranges = std::move(read);
    known = true;
    return ownerIn(ranges, uid);
}

}  // namespace velmora::vpn::platform
