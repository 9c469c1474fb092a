// byte_stream.cpp - files, pipes and memory as one kind of byte source.
#include "input/byte_stream.h"

#include "input/audio_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace rsid_tool {

std::size_t byte_stream::read_fully(unsigned char* dst, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const std::size_t got = read(dst + done, n - done);
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

bool byte_stream::skip(uint64_t n) {
    if (!live() && seek(tell() + n)) {
        const std::optional<uint64_t> size = length();
        return !size || tell() <= *size;
    }
    unsigned char sink[4096];
    while (n > 0) {
        const std::size_t got = read(sink, static_cast<std::size_t>(std::min<uint64_t>(n, 4096)));
        if (got == 0)
            return false;
        n -= got;
    }
    return true;
}

namespace {

class memory_bytes final : public byte_stream {
  public:
    explicit memory_bytes(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    std::size_t read(unsigned char* dst, std::size_t n) override {
        if (pos_ >= bytes_.size())
            return 0;
        const std::size_t k =
            std::min<std::size_t>(n, bytes_.size() - static_cast<std::size_t>(pos_));
        std::memcpy(dst, bytes_.data() + pos_, k);
        pos_ += k;
        return k;
    }
    bool seek(uint64_t pos) override {
        pos_ = pos;
        return true;
    }
    [[nodiscard]] uint64_t tell() const override { return pos_; }
    [[nodiscard]] std::optional<uint64_t> length() const override { return bytes_.size(); }
    [[nodiscard]] bool live() const override { return false; }

  private:
    std::span<const unsigned char> bytes_;
    uint64_t pos_ = 0;
};

class fd_bytes final : public byte_stream {
  public:
    fd_bytes(int fd, bool owned, std::string name, stop_check stop)
        : fd_(fd), owned_(owned), name_(std::move(name)), stop_(std::move(stop)) {
        struct stat st {};
        if (fstat(fd, &st) != 0)
            fail();
        if (S_ISDIR(st.st_mode)) {
            close_owned();
            throw input_error(name_ + ": is a directory");
        }
        regular_ = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
        if (regular_) {
            const off_t here = lseek(fd, 0, SEEK_CUR);
            regular_ = here >= 0; // some "regular" descriptors cannot seek after all
            start_ = here >= 0 ? static_cast<uint64_t>(here) : 0;
            if (S_ISREG(st.st_mode)) {
                const auto total = static_cast<uint64_t>(st.st_size);
                size_ = total - std::min(start_, total);
            }
        }
    }
    ~fd_bytes() override { close_owned(); }
    fd_bytes(const fd_bytes&) = delete;
    fd_bytes& operator=(const fd_bytes&) = delete;

    std::size_t read(unsigned char* dst, std::size_t n) override {
        if (n == 0)
            return 0;
        if (regular_) {
            const std::size_t got = read_fd(dst, n, static_cast<off_t>(start_ + pos_));
            pos_ += got;
            return got;
        }
        // Behind what has arrived: from the window, else from the pipe.
        if (pos_ < window_start_)
            return 0; // cannot happen: seek() refuses to go there
        if (pos_ < arrived()) {
            const auto from = static_cast<std::size_t>(pos_ - window_start_);
            const std::size_t k = std::min(n, window_.size() - from);
            std::memcpy(dst, window_.data() + from, k);
            pos_ += k;
            return k;
        }
        if (pos_ > arrived())
            return 0; // a look past what has arrived (a decoder probing the end): nothing there
        const std::size_t got = read_fd(dst, n, -1);
        if (got == 0) {
            ended_ = true;
            return 0;
        }
        keep(dst, got);
        pos_ += got;
        return got;
    }

    bool seek(uint64_t pos) override {
        if (!regular_ && pos < window_start_)
            return false;
        pos_ = pos;
        return true;
    }
    [[nodiscard]] uint64_t tell() const override { return pos_; }
    [[nodiscard]] std::optional<uint64_t> length() const override {
        if (regular_)
            return size_;
        if (ended_)
            return arrived();
        return std::nullopt;
    }
    [[nodiscard]] bool live() const override { return !regular_; }

  private:
    [[noreturn]] void fail() {
        const int e = errno;
        close_owned();
        throw input_error(name_ + ": " + std::strerror(e));
    }
    void close_owned() {
        if (owned_ && fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    [[nodiscard]] uint64_t arrived() const { return window_start_ + window_.size(); }

    // Keeps what a pipe delivered: all of it up to rewind_limit, then only the last quarter of
    // that, so memory stays bounded however long the stream runs.
    void keep(const unsigned char* p, std::size_t n) {
        window_.insert(window_.end(), p, p + n);
        if (window_.size() > rewind_limit) {
            const std::size_t drop = window_.size() - rewind_limit / 4;
            window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(drop));
            window_start_ += drop;
        }
    }

    // One read(2): at offset (pread) for files, else waiting in poll() for a pipe so that a stop
    // request is seen within 200 ms. Returns 0 at end of input or on a stop request.
    std::size_t read_fd(unsigned char* dst, std::size_t n, off_t offset) {
        for (;;) {
            if (stopping() || stopped_)
                return 0;
            if (offset < 0) {
                pollfd p{fd_, POLLIN, 0};
                const int ready = poll(&p, 1, 200);
                if (ready < 0 && errno != EINTR)
                    fail();
                if (ready <= 0) {
                    stopped_ = stop_ && stop_(); // waited 200 ms, or a signal came
                    continue;
                }
            }
            const ssize_t got = offset < 0 ? ::read(fd_, dst, n) : pread(fd_, dst, n, offset);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR && errno != EAGAIN)
                fail();
        }
    }

    int fd_;
    bool owned_;
    std::string name_;
    bool regular_ = false;
    uint64_t start_ = 0;                // file offset of byte 0 (stdin may start part-way)
    std::optional<uint64_t> size_;      // bytes from start_ to the end of a regular file
    uint64_t pos_ = 0;                  // position, counted from byte 0
    std::vector<unsigned char> window_; // pipe: the latest bytes that arrived
    uint64_t window_start_ = 0;         // pipe: position of window_[0]
    bool ended_ = false;                // pipe: the writer closed it
    stop_check stop_;                   // the host's own stop request, if any
    bool stopped_ = false;              // stop_ said so: the input ends here
};

} // namespace

std::unique_ptr<byte_stream> fd_stream(int fd, bool owned, const std::string& name,
                                       stop_check stop) {
    return std::make_unique<fd_bytes>(fd, owned, name, std::move(stop));
}

std::unique_ptr<byte_stream> memory_stream(std::span<const unsigned char> bytes) {
    return std::make_unique<memory_bytes>(bytes);
}

int open_input_fd(const std::string& path) {
    // O_NONBLOCK: opening a FIFO would otherwise wait in open(2) for a writer, where a stop
    // request that came just before the call is never looked at again. Reads wait in poll()
    // instead, so the flag is cleared again.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw input_error(path + ": " + std::strerror(errno));
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::unique_ptr<byte_stream> open_path_stream(const std::string& path, stop_check stop) {
    return fd_stream(open_input_fd(path), true, path, std::move(stop));
}

} // namespace rsid_tool
