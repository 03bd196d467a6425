#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "PortHolder.h"

namespace TarvikCli {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::string Resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), std::free);
    return real ? std::string(real.get()) : std::string();
}

std::string LinkTarget(const std::string& link) {
    char target[4096];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Whether process `pid` (its /proc entry) has `device` open.
bool Holds(const std::string& pid, const std::string& device) {
    const std::string fdDir = "/proc/" + pid + "/fd";
    DirHandle fds(::opendir(fdDir.c_str()));
    if (!fds) {
        return false;  // another user's process: not ours to look into
    }
    while (const dirent* fd = ::readdir(fds.get())) {
        if (fd->d_name[0] != '.' && LinkTarget(fdDir + "/" + fd->d_name) == device) {
            return true;
        }
    }
    return false;
}

std::string NameOf(const std::string& pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

// Whether another program keeps the device to itself, as the library's own open does:
// exclusive, or locked. A device merely open elsewhere (the simulator's far end) is not.
bool Taken(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY;
    }
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

}  // namespace

std::string PortHolders(const std::string& devicePath) {
    const std::string device = Resolved(devicePath);
    if (device.empty() || !Taken(device)) {
        return "";
    }
    DirHandle proc(::opendir("/proc"));
    if (!proc) {
        return "";
    }
    const std::string self = std::to_string(::getpid());
    std::string holders;
    while (const dirent* entry = ::readdir(proc.get())) {
        const std::string pid = entry->d_name;
        if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0])) || pid == self ||
            !Holds(pid, device)) {
            continue;
        }
        holders += (holders.empty() ? "" : ", ") + NameOf(pid) + " (pid " + pid + ")";
    }
    return holders;
}

}  // namespace TarvikCli
