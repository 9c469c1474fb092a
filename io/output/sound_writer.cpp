// sound_writer.cpp - audio files and streams written through libsndfile.
#include "output/sound_writer.h"

#include "errors.h"
#include "input/audio_input.h"
#include "output/output_format.h"
#include "rsid_signal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rsid_tool {

namespace {

// Writes everything or returns the errno of the failure (EINTR is retried).
int write_all(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return w < 0 ? errno : EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
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
    s.error =
        write_all(s.fd, static_cast<const unsigned char*>(ptr), static_cast<std::size_t>(count));
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
            out_fd_ = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (out_fd_ < 0)
                throw output_error(name_ + ": " + std::strerror(errno));
            own_out_fd_ = true;
        }
        const std::string header = streamed_header(format, rate);
        if (!header.empty()) {
            // The samples follow the header as they are made; libsndfile writes them raw.
            const int endian = major == SF_FORMAT_AU ? SF_ENDIAN_BIG : SF_ENDIAN_LITTLE;
            info.format = SF_FORMAT_RAW | (format & SF_FORMAT_SUBMASK) | endian;
            if (const int e = write_all(
                    out_fd_, reinterpret_cast<const unsigned char*>(header.data()), header.size()))
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
            if (const int e = write_all(out_fd_, chunk.data(), n))
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
