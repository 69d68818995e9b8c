#include "platform/pipe_endpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/unique_handle.h"
#include "platform/socket_path.h"

// The socket runs as root and every local user may connect, so its creation
// must be proof against a user who races it. The socket is bound inside a
// fresh private folder (mode 0700, ours), gets its mode there, and is renamed
// into place in one step; nothing is ever changed by a path another user can
// reach. The folder it lives in must be writable by no one else, unless it is
// root-owned and sticky (like /tmp), where nobody can rename or delete our
// entry. Only the socket this process bound (same device and inode) is ever
// unlinked.
namespace velmora::vpn::platform {
namespace {

// How long closing a connection waits for the client to finish reading.
constexpr int kDrainMilliseconds = 1000;

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Whether the folder may hold the socket; false with the reason.
bool folderFit(int folder, const std::string& path, SystemError& error) {
    struct stat info {};
    if (fstat(folder, &info) != 0) {
        error = {"stat", static_cast<std::uint32_t>(errno), {}};
        return false;
    }
    const bool othersMayWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool rootSticky = info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_uid != 0 && info.st_uid != geteuid()) || (othersMayWrite && !rootSticky)) {
        error = refusal("Refusing to serve on " + path + ": its folder can be written by other users");
        return false;
    }
    return true;
}

// True when something listens on the socket at `name` in `folder`. A
// listener whose queue is full is there too: the probe does not wait for a
// place in it (a blocking one would wait for ever on a listener that never
// accepts, and the server with it).
bool socketAnswers(int folder, const std::string& name) {
    OwnedHandle probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", folder, name.c_str());
    return probe &&
           (connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN);
}

// A private folder beside the socket's name: created 0700, so no other user
// can reach what is inside it. Removed, with whatever is left in it, on exit.
class PrivateFolder {
public:
    PrivateFolder(int parent, const std::string& baseName) : parent_(parent) {
        std::random_device random;
        for (int attempt = 0; attempt < 16 && !folder_; ++attempt) {
            name_ = "." + baseName + "-" + std::to_string(random());
            if (mkdirat(parent_, name_.c_str(), 0700) == 0) {
                folder_.reset(openat(parent_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            } else if (errno != EEXIST) {
                break;
            }
        }
        error_ = errno;
    }
    ~PrivateFolder() {
        if (!folder_) return;
        unlinkat(folder_.get(), "s", 0);
        unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    int get() const { return folder_.get(); }
    int error() const { return error_; }

private:
    int parent_;
    std::string name_;
    OwnedHandle folder_;
    int error_ = 0;
};

}  // namespace

struct PipeListener::State {
    std::string path;      // empty when the name maps to no socket path
    OwnedHandle folder;    // the folder the socket lives in, while it listens
    OwnedHandle listener;  // the listening socket, if any
    dev_t device = 0;      // the socket file this process bound
    ino_t inode = 0;
    // Held open so that, when descriptors run out, one can be freed to accept
    // and close a waiting client instead of spinning on it.
    OwnedHandle spare;
};

PipeListener::PipeListener(const std::wstring& pipeName) : state_(std::make_unique<State>()) {
    state_->path = socketPathForPipeName(pipeName);
}

PipeListener::~PipeListener() { closeInstance(); }

// The socket's access is its mode, which has no fallback.
const SystemError& PipeListener::accessFallback() const {
    static const SystemError none;
    return none;
}

bool PipeListener::createInstance(SystemError& error) {
    if (state_->listener) return true;
    const std::string& path = state_->path;
    if (path.empty()) {
        error = {"bind", EINVAL,
                 " (the pipe name maps to no socket path; a service not running as root needs XDG_RUNTIME_DIR)"};
        return false;
    }
    const std::string name = nameOf(path);
    // Clients reach the socket by its full path, which must fit an address.
    if (name.empty() || path.size() >= sizeof(sockaddr_un::sun_path)) {
        error = {"bind", ENAMETOOLONG, {}};
        return false;
    }
    OwnedHandle folder(open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        error = {"open", static_cast<std::uint32_t>(errno), " (" + folderOf(path) + ")"};
        return false;
    }
    if (!folderFit(folder.get(), path, error)) return false;

    // Only a socket nothing answers on is replaced; a live server's socket,
    // and anything that is no socket (a file, a folder, a link), stay.
    struct stat existing {};
    const bool occupied = fstatat(folder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (occupied && (!S_ISSOCK(existing.st_mode) || socketAnswers(folder.get(), name))) {
        error = {"bind", EADDRINUSE, {}};
        return false;
    }

    const PrivateFolder staging(folder.get(), name);
    if (staging.get() < 0) {
        error = {"mkdir", static_cast<std::uint32_t>(staging.error()), {}};
        return false;
    }
    OwnedHandle listener(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener) {
        error = {"socket", static_cast<std::uint32_t>(errno), {}};
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/s", staging.get());
    struct stat bound {};
    // Every local user may connect, as interactive users may on Windows.
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        fchmodat(staging.get(), "s", 0666, 0) != 0 || fstatat(staging.get(), "s", &bound, AT_SYMLINK_NOFOLLOW) != 0 ||
        listen(listener.get(), SOMAXCONN) != 0) {
        error = {"bind", static_cast<std::uint32_t>(errno), {}};
        return false;
    }
    // A stale socket is replaced in the same step; otherwise the name must still be free.
    const unsigned flags = occupied ? 0 : RENAME_NOREPLACE;
    if (renameat2(staging.get(), "s", folder.get(), name.c_str(), flags) != 0) {
        error = {"bind", static_cast<std::uint32_t>(errno == EEXIST ? EADDRINUSE : errno), {}};
        return false;
    }
    state_->device = bound.st_dev;
    state_->inode = bound.st_ino;
    state_->folder = std::move(folder);
    state_->listener = std::move(listener);
    if (!state_->spare) state_->spare.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
    return true;
}

PollOutcome PipeListener::poll(std::chrono::milliseconds interval, OwnedHandle& connection, SystemError& error) {
    // Under load a client is usually waiting already: accept first, and
    // wait only when nobody is there.
    int client = accept4(state_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0 && errno == EAGAIN) {
        pollfd waiting{state_->listener.get(), POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(interval.count()));
        if (ready <= 0) return PollOutcome::waiting;  // timed out, or interrupted by a signal
        client = accept4(state_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (client >= 0) {
        connection.reset(client);
        return PollOutcome::connected;
    }
    const int code = errno;
    switch (code) {
        case EAGAIN:
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            // The client left before it was accepted: keep accepting.
            return PollOutcome::waiting;
        case EMFILE:
        case ENFILE:
        case ENOMEM:
        case ENOBUFS:
            // Out of resources: the listener and its name stay. The waiting
            // client is turned away with the spare descriptor, so the poll
            // does not spin on it, and the caller pauses before the next.
            if (state_->spare) {
                state_->spare.reset();
                OwnedHandle turnedAway(accept4(state_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
                turnedAway.reset();
                state_->spare.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
            }
            error = {"accept", static_cast<std::uint32_t>(code), {}};
            return PollOutcome::throttled;
        default:
            error = {"accept", static_cast<std::uint32_t>(code), {}};
            return PollOutcome::failed;
    }
}

// A socket's name is kept from the start: a name someone else holds is
// refused (bind failed), never served beside.
bool PipeListener::nameTaken() const { return false; }

void PipeListener::closeInstance() {
    if (!state_->listener) return;
    state_->listener.reset();
    // Unlink the name only while it is still the socket this process bound.
    const std::string name = nameOf(state_->path);
    struct stat current {};
    if (fstatat(state_->folder.get(), name.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
        current.st_dev == state_->device && current.st_ino == state_->inode) {
        unlinkat(state_->folder.get(), name.c_str(), 0);
    }
    state_->folder.reset();
}

std::uint32_t pipeInstanceMode() { return 0; }

void PipeConnection::makeBlocking() {
    // Accepted sockets do not inherit the listener's non-blocking mode; nothing to do.
}

void PipeConnection::disconnect() { shutdown(handle_.get(), SHUT_RDWR); }

void PipeConnection::flushAndDisconnect() {
    // End our side, then wait (bounded) for the client to close its side:
    // closing with unread input would reset the connection and could cost the
    // client the response it has not read yet.
    shutdown(handle_.get(), SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMilliseconds);
    char discard[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd readable{handle_.get(), POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return;
        if (recv(handle_.get(), discard, sizeof discard, 0) <= 0) return;
    }
}

}  // namespace velmora::vpn::platform
