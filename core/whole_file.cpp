#include "core/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/signals.h"

namespace {

// Follows symbolic links from `path` to the file they lead to (which need not exist yet); a chain
// of more than 40 is left as it is, and the stat of it then fails.
std::string link_target(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::vector<char> buffer(4096);
        ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
        if (n <= 0 || std::size_t(n) >= buffer.size()) return path;
        std::string link(buffer.data(), std::size_t(n));
        std::size_t slash = path.rfind('/');
        path =
            link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
    return path;
}

void refuse(whole_file const& w, char const* verb, char const* why)
{
    std::fprintf(stderr, "error: cannot %s \"%s\": %s\n", verb, w.name.c_str(), why);
}

// Writes straight into the file under the name through `fd`, open for writing.
void write_in_place(whole_file& w, int fd)
{
    w.f = fdopen(fd, "w");
    if (!w.f) {
        refuse(w, "write", std::strerror(errno));
        close(fd);
    }
}

}  // namespace

whole_file begin_whole_file(char const* name)
{
    whole_file w{nullptr, name, link_target(name), ""};
    struct stat st;
    bool exists = stat(w.target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        refuse(w, "create", std::strerror(errno));
        return w;
    }
    if (exists && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) {
        // A device such as /dev/null or a FIFO: nothing there to keep, written in place. A FIFO
        // only to a reader that is there; without one the open would wait for ever.
        int fd = open(w.target.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) {
            refuse(w, "write", errno == ENXIO ? "it is a FIFO that no process reads"
                                              : std::strerror(errno));
            return w;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        write_in_place(w, fd);
        return w;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        refuse(w, "write", S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
        return w;
    }
    mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = exists ? st.st_mode & 07777 : 0666 & ~mask;

    // In the target's directory, so that the rename stays within one file system.
    const std::string pattern = w.target + ".partial-XXXXXX";
    std::vector<char> part(pattern.begin(), pattern.end());
    part.push_back('\0');
    int fd = -1;
    int err = 0;
    {
        signals_held held;
        fd = mkstemp(part.data());
        err = errno;
        if (fd >= 0) arm_unlink(part.data());
    }
    if (fd < 0) {
        // A folder the user may not write to, holding a file the user may: written in place, as
        // "w" would, giving up only the guarantee of a whole file.
        if (exists && (err == EACCES || err == EPERM || err == EROFS)) {
            int in_place = open(w.target.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY);
            if (in_place >= 0) {
                write_in_place(w, in_place);
                return w;
            }
        }
        // What could not be made is the new file, in the target's folder.
        const std::size_t slash = pattern.rfind('/');
        std::string folder = ".";
        std::string file = pattern;
        if (slash != std::string::npos) {
            folder = slash == 0 ? "/" : pattern.substr(0, slash);
            file = pattern.substr(slash + 1);
        }
        std::fprintf(stderr,
                     "error: cannot create the new file \"%s\" in \"%s\" to write \"%s\": %s\n",
                     file.c_str(), folder.c_str(), w.name.c_str(), std::strerror(err));
        return w;
    }
    w.part = part.data();
    if (exists && (st.st_uid != geteuid() || st.st_gid != getegid())) {
        // Kept where allowed, as the earlier file's; otherwise the new file is the runner's.
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
        }
    }
    w.f = fchmod(fd, mode) == 0 ? fdopen(fd, "w") : nullptr;
    if (!w.f) {
        refuse(w, "create", std::strerror(errno));
        close(fd);
        signals_held held;
        unlink(w.part.c_str());
        disarm_unlink();
    }
    return w;
}

bool finish_whole_file(whole_file& w, bool written)
{
    int err = 0;
    if (!written || std::ferror(w.f)) err = errno != 0 ? errno : EIO;
    if (err == 0 && std::fflush(w.f) != 0) err = errno;
    // On disk before the name points at it: a crash after the rename must not leave an empty or
    // cut file under the name. File systems that cannot sync (and FIFOs, devices) say EINVAL.
    if (err == 0 && fsync(fileno(w.f)) != 0 && errno != EINVAL && errno != ENOTSUP) err = errno;
    if (std::fclose(w.f) != 0 && err == 0) err = errno;
    w.f = nullptr;
    char const* verb = "write";
    if (!w.part.empty()) {
        signals_held held;
        // A signal held back here ends the run once it is let through; like one that came a
        // moment sooner, it leaves the earlier file under the name.
        bool ending = signals_held::pending();
        if (err == 0 && !ending && std::rename(w.part.c_str(), w.target.c_str()) != 0) {
            err = errno;
            verb = "replace";
        }
        if (err != 0 || ending) unlink(w.part.c_str());
        disarm_unlink();
    }
    if (err != 0) refuse(w, verb, std::strerror(err));
    return err == 0;
}
