#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "service/InboxJournal.h"

namespace GSM {

bool SyncStream(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool ReplaceJournalFile(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    // The rename itself lasts only once the folder is on the disk.
    const std::size_t slash = to.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : to.substr(0, slash));
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return false;
    }
    const bool synced = fsync(dir) == 0;
    close(dir);
    return synced;
}

}  // namespace GSM
