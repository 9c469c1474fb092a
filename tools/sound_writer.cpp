// sound_writer.cpp - audio files and streams written through libsndfile.
#include "sound_writer.h"

#include "commands.h"
#include "rsid_signal.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace rsid_tool {

namespace {

void write_all(int fd, const unsigned char* p, std::size_t n, const std::string& name) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            throw output_error(name + ": " + std::strerror(errno));
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

} // namespace

sound_writer::sound_writer(const std::string& path, int format, int rate)
    : name_(path == "-" ? "stdout" : path) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = format;
    if (path != "-") {
        file_.reset(sf_open(path.c_str(), SFM_WRITE, &info));
    } else if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW) {
        file_.reset(sf_open_fd(STDOUT_FILENO, SFM_WRITE, &info, SF_FALSE)); // streams as it goes
    } else {
        // Containers seek back to finish their header, which a pipe cannot: the file is
        // written to an anonymous temporary file and copied to stdout when complete.
        spool_ = std::tmpfile();
        if (!spool_)
            throw output_error(std::string("temporary file: ") + std::strerror(errno));
        file_.reset(sf_open_fd(fileno(spool_), SFM_WRITE, &info, SF_FALSE));
    }
    if (!file_)
        throw output_error(name_ + ": " + sf_strerror(nullptr));
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
        std::fclose(spool_);
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
    if (sf_close(file_.release()) != 0)
        throw output_error(name_ + ": " + sf_strerror(nullptr));
    if (spool_) {
        std::rewind(spool_);
        std::vector<unsigned char> chunk(1 << 16);
        while (const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), spool_))
            write_all(STDOUT_FILENO, chunk.data(), n, name_);
        if (std::ferror(spool_))
            throw output_error(std::string("temporary file: ") + std::strerror(errno));
    }
}

// Integer files get 32-bit integers, 65536 per 16-bit step: libsndfile narrows them exactly
// to 16 and 24 bits, so 48000/s 16-bit output holds the generator's samples unchanged.
// Float files get normalised doubles (libsndfile stores integers in them unscaled).
void sound_writer::put(const double* samples, std::size_t n) {
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
    if (w != static_cast<sf_count_t>(n))
        throw output_error(name_ + ": " + sf_strerror(file_.get()));
}

} // namespace rsid_tool
