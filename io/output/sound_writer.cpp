// sound_writer.cpp - audio files and streams written through libsndfile.
#include "output/sound_writer.h"

#include "errors.h"
#include "input/audio_input.h"
#include "output/output_format.h"
#include "rsid_signal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rsid_tool {

namespace {

// A pipe, FIFO, socket or device: a reader may stop taking what is written.
bool is_live(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 &&
           (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode));
}

// Writes everything or returns the errno of the failure. A live descriptor is waited on in
// poll() and written PIPE_BUF bytes at a time, which a pipe that polls writable takes without
// waiting: a reader that stops reading then cannot hold the tool in write(2), where a stop
// request that came just before the call would not be seen. A stop request is EINTR.
int write_all(int fd, const unsigned char* p, std::size_t n, bool live) {
    while (n > 0) {
        if (live) {
            if (stop_requested)
                return EINTR;
            pollfd out{fd, POLLOUT, 0};
            const int ready = poll(&out, 1, 200);
            if (ready < 0 && errno != EINTR)
                return errno;
            if (ready <= 0)
                continue; // 200 ms, or a signal: look at the request again
        }
        const ssize_t w = ::write(fd, p, live ? std::min<std::size_t>(n, PIPE_BUF) : n);
        if (w < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (w <= 0)
            return w < 0 ? errno : EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

// Opens a stream's path for writing. A FIFO is not waited on in open(2) for its reader, where a
// stop request would not be seen: without one the open fails (ENXIO) and is tried again every
// 200 ms. The descriptor then blocks again; write_all() waits in poll().
int open_stream(const std::string& path, const std::string& name) {
    for (;;) {
        if (stop_requested)
            throw output_error(name + ": interrupted");
        const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            const int flags = fcntl(fd, F_GETFL);
            if (flags >= 0)
                fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            return fd;
        }
        const int e = errno;
        struct stat st {};
        if (e != ENXIO || stat(path.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode))
            throw output_error(name + ": " + std::strerror(e));
        (void)poll(nullptr, 0, 200); // no reader yet
    }
}

output_sink& of(void* user) { return *static_cast<output_sink*>(user); }

// libsndfile's I/O through output_sink, so that a failed write is known by its errno.
sf_count_t sink_length(void* user) {
    const output_sink& s = of(user);
    struct stat st {};
    if (s.seekable && fstat(s.fd, &st) == 0)
        return st.st_size;
    return s.written;
}

sf_count_t sink_seek(sf_count_t offset, int whence, void* user) {
    const output_sink& s = of(user);
    if (!s.seekable)
        return whence == SEEK_CUR && offset == 0 ? s.written : -1;
    return lseek(s.fd, offset, whence);
}

sf_count_t sink_read(void* ptr, sf_count_t count, void* user) {
    const ssize_t n = ::read(of(user).fd, ptr, static_cast<std::size_t>(count));
    return n < 0 ? 0 : n;
}

sf_count_t sink_write(const void* ptr, sf_count_t count, void* user) {
    output_sink& s = of(user);
    if (s.error)
        return 0;
    s.error = write_all(s.fd, static_cast<const unsigned char*>(ptr),
                        static_cast<std::size_t>(count), s.live);
    if (s.error)
        return 0;
    s.written += count;
    return count;
}

sf_count_t sink_tell(void* user) {
    const output_sink& s = of(user);
    return s.seekable ? lseek(s.fd, 0, SEEK_CUR) : s.written;
}

SF_VIRTUAL_IO sink_io = {sink_length, sink_seek, sink_read, sink_write, sink_tell};

} // namespace

sound_writer::sound_writer(const std::string& path, int format, int rate, uint64_t frames)
    : name_(path == "-" ? "stdout" : path) {
    struct stat st {};
    const bool stream = path == "-" || (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode));
    if (path != "-" && stream && S_ISDIR(st.st_mode))
        throw output_error(name_ + ": is a directory");
    const auto data_bytes =
        static_cast<uint64_t>(std::min(static_cast<double>(frames) * sample_bytes(format), 1e19));
    format = sized_format(format, data_bytes, stream);
    const int major = format & SF_FORMAT_TYPEMASK;

    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = format;
    if (!stream) {
        target_.emplace(path);
        sink_.fd = target_->descriptor();
        sink_.seekable = true;
    } else {
        if (path == "-") {
            out_fd_ = STDOUT_FILENO;
        } else {
            out_fd_ = open_stream(path, name_);
            own_out_fd_ = true;
        }
        out_live_ = is_live(out_fd_);
        const std::string header = streamed_header(format, rate);
        if (!header.empty()) {
            // The samples follow the header as they are made; libsndfile writes them raw.
            const int endian = major == SF_FORMAT_AU ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE;
            info.format = SF_FORMAT_RAW | (format & SF_FORMAT_SUBMASK) | endian;
            if (const int e =
                    write_all(out_fd_, reinterpret_cast<const unsigned char*>(header.data()),
                              header.size(), out_live_))
                fail(e);
            sink_.fd = out_fd_;
        } else if (major == SF_FORMAT_RAW) {
            sink_.fd = out_fd_;
        } else {
            spool_ = std::tmpfile();
            if (!spool_)
                throw output_error(std::string("temporary file: ") + std::strerror(errno));
            sink_.fd = fileno(spool_);
            sink_.seekable = true;
        }
    }
    sink_.live = out_live_ && sink_.fd == out_fd_; // not the spool
    file_.reset(sf_open_virtual(&sink_io, SFM_WRITE, &info, &sink_));
    if (!file_) {
        if (sink_.error)
            fail(sink_.error);
        throw output_error(name_ + ": cannot write this format: " + sf_strerror(nullptr));
    }
    const int sub = format & SF_FORMAT_SUBMASK;
    float_ = sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE;
    if (rate != rsid_signal::tx_rate) {
        try {
            resampler_ = std::make_unique<rsid::resampler>(rsid_signal::tx_rate, rate);
        } catch (const rsid::resampler_error& e) {
            throw output_error(e.what());
        }
    }
}

sound_writer::~sound_writer() {
    file_.reset();
    if (spool_)
        (void)std::fclose(spool_); // a read-back file; its close cannot lose output
    if (own_out_fd_)
        ::close(out_fd_);
}

void sound_writer::fail(int error) {
    if (error == EPIPE)
        throw broken_pipe(name_ + ": the reader closed the pipe");
    throw output_error(name_ + ": cannot write: " + std::strerror(error));
}

void sound_writer::write(const double* samples, std::size_t n) {
    if (!resampler_) {
        put(samples, n);
        return;
    }
    resampled_.clear();
    resampler_->process(samples, n, resampled_);
    put(resampled_.data(), resampled_.size());
}

void sound_writer::silence(uint64_t n) {
    const std::vector<double> zeros(4800, 0.0);
    while (n > 0) {
        const std::size_t k = static_cast<std::size_t>(std::min<uint64_t>(n, zeros.size()));
        write(zeros.data(), k);
        n -= k;
    }
}

void sound_writer::finish() {
    if (resampler_) {
        resampled_.clear();
        resampler_->flush(resampled_);
        put(resampled_.data(), resampled_.size());
    }
    const int closed = sf_close(file_.release()); // writes the final header
    if (sink_.error)
        fail(sink_.error);
    if (closed != 0)
        throw output_error(name_ + ": cannot write: " + sf_error_number(closed));
    if (spool_) {
        std::rewind(spool_);
        std::vector<unsigned char> chunk(1 << 16);
        while (const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), spool_))
            if (const int e = write_all(out_fd_, chunk.data(), n, out_live_))
                fail(e);
        if (std::ferror(spool_))
            throw output_error(std::string("temporary file: ") + std::strerror(errno));
    }
    if (target_)
        target_->commit(); // target_'s destructor removes what a failure left
}

// Integer files get 32-bit integers, 65536 per 16-bit step: libsndfile narrows them exactly
// to 16 and 24 bits, so 48000/s 16-bit output holds the generator's samples unchanged.
// Float files get normalised doubles (libsndfile stores integers in them unscaled).
void sound_writer::put(const double* samples, std::size_t n) {
    if (stop_requested) // SIGINT or SIGTERM: the file is left unfinished, so it goes
        throw output_error(name_ + ": interrupted");
    sf_count_t w = 0;
    if (float_) {
        doubles_.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            doubles_[i] = samples[i] / rsid_signal::full_scale;
        w = sf_writef_double(file_.get(), doubles_.data(), static_cast<sf_count_t>(n));
    } else {
        ints_.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            ints_[i] =
                static_cast<int>(std::lrint(std::clamp(samples[i], -32768.0, 32767.0) * 65536.0));
        w = sf_writef_int(file_.get(), ints_.data(), static_cast<sf_count_t>(n));
    }
    if (w != static_cast<sf_count_t>(n)) {
        if (sink_.error)
            fail(sink_.error);
        throw output_error(name_ + ": cannot write: " + sf_strerror(file_.get()));
    }
}

} // namespace rsid_tool
