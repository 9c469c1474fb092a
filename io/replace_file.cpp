// replace_file.cpp - a temporary file beside the target, renamed over it when complete.
#include "replace_file.h"

#include "errors.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rsid_tool {

replace_file::replace_file(const std::string& path) : name_(path), target_(path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // The link stays; the file it names is the one replaced.
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) == nullptr)
            fail("cannot follow the symbolic link", errno);
        target_ = resolved;
    }
    const bool exists = stat(target_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        fail("", EISDIR);
    if (exists && !S_ISREG(st.st_mode)) { // a stream: written as it comes
        fd_ = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0)
            fail("", errno);
        return;
    }
    // Mode bits, not access(): root may write anything, but a read-only file was made so.
    if (exists &&
        ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(target_.c_str(), W_OK) != 0))
        fail("the file is read-only; it is left as it is", 0);
    const std::size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    std::string name = dir + (slash == std::string::npos ? "/." : ".") + base + ".XXXXXX";
    fd_ = mkstemp(name.data());
    if (fd_ < 0)
        fail("cannot create a file in " + dir, errno);
    temporary_ = name;
    mode_t mode = st.st_mode & 07777;
    if (!exists) { // as a new file would be made; mkstemp makes it 0600
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd_, mode) != 0)
        fail("", errno);
}

replace_file::~replace_file() {
    if (fd_ >= 0)
        ::close(fd_);
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
}

void replace_file::fail(const std::string& what, int error) {
    std::string message = name_ + ": " + what;
    if (error != 0)
        message += (what.empty() ? "" : ": ") + std::string(std::strerror(error));
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
    throw output_error(message);
}

void replace_file::write(const void* bytes, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (n > 0) {
        const ssize_t w = ::write(fd_, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            fail("", w < 0 ? errno : EIO);
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void replace_file::commit() {
    // close() reports what a file system kept back until then (quota, NFS).
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0)
        fail("", errno);
    if (temporary_.empty())
        return;
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0)
        fail("cannot put the file in place", errno);
    temporary_.clear();
}

} // namespace rsid_tool
