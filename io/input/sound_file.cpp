// sound_file.cpp - containers: WAV, RF64 and AU through the tool's own header reader and raw
// decoder (so that they stream from pipes), everything else through libsndfile.
#include "input/audio_input.h"
#include "input/byte_stream.h"
#include "input/sndfile_io.h"
#include "input/stream_source.h"

#include <algorithm>
#include <cmath>
#include <unistd.h>

namespace rsid_tool {

namespace {

std::string format_name(SNDFILE* f, int format) {
    SF_FORMAT_INFO major{};
    major.format = format & SF_FORMAT_TYPEMASK;
    SF_FORMAT_INFO sub{};
    sub.format = format & SF_FORMAT_SUBMASK;
    std::string name = sf_command(f, SFC_GET_FORMAT_INFO, &major, sizeof(major)) == 0 && major.name
                           ? major.name
                           : "unknown container";
    if (sf_command(f, SFC_GET_FORMAT_INFO, &sub, sizeof(sub)) == 0 && sub.name)
        name += std::string(", ") + sub.name;
    return name;
}

class sndfile_source final : public audio_source {
  public:
    sndfile_source(std::unique_ptr<byte_stream> stream, const std::string& name)
        : stream_(std::move(stream)), io_(*stream_) {
        info_.name = name;
        info_.live = stream_->live();
        if (!vorbis_headers_readable(*stream_))
            throw input_error(name + ": malformed or damaged sound file (Ogg Vorbis cut short "
                                     "or damaged in its headers)");
        SF_INFO sf_info{};
        file_ = io_.open(sf_info);
        if (!file_) {
            if (stop_requested)
                throw input_error(name + ": interrupted while reading the header");
            if (sf_error(nullptr) == SF_ERR_UNRECOGNISED_FORMAT)
                throw unknown_format_error(sndfile_error(nullptr, name));
            throw input_error(sndfile_error(nullptr, name));
        }
        if (sf_info.channels < 1 || sf_info.channels > max_channels)
            throw input_error(info_.name + ": unsupported channel count " +
                              std::to_string(sf_info.channels));
        if (sf_info.samplerate < min_rate || sf_info.samplerate > max_rate)
            throw input_error(info_.name + ": unsupported sample rate " +
                              std::to_string(sf_info.samplerate));
        info_.rate = sf_info.samplerate;
        info_.channels = sf_info.channels;
        // What the header promises, where libsndfile had it from a header rather than from the
        // length of a pipe it could not know: decoded against it at the end.
        const bool from_header =
            !info_.live || (sf_info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC;
        if (sf_info.frames > 0 && sf_info.frames < SF_COUNT_MAX && from_header)
            info_.frames = sf_info.frames;
        info_.format = format_name(file_.get(), sf_info.format);
        // A Broadcast WAV file says when it was recorded (its bext chunk).
        SF_BROADCAST_INFO bext{};
        if (sf_command(file_.get(), SFC_GET_BROADCAST_INFO, &bext, sizeof bext) == SF_TRUE)
            if (const auto t = parse_bext_time(
                    std::string_view(bext.origination_date, sizeof bext.origination_date),
                    std::string_view(bext.origination_time, sizeof bext.origination_time)))
                info_.start = start_time{*t, clock_bext};
        // Integer data comes back normalised to +-1 (full scale / 32768 for 16-bit); float data
        // comes back as stored, which by convention is also +-1. Both are scaled back below.
        sf_command(file_.get(), SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    }

    std::size_t read(double* out, std::size_t frames) override {
        if (done_ || stopping())
            return 0;
        sf_count_t got = 0;
        if (!failed_) {
            got = sf_readf_double(file_.get(), out, static_cast<sf_count_t>(frames));
            // The frames of a call that also failed are good: a decoder that finds bytes it
            // cannot read after the last frame (junk, an ID3v1 tag) fails on them.
            failed_ = got < 0 || sf_error(file_.get()) != SF_ERR_NO_ERROR;
        }
        if (got <= 0) {
            done_ = true;
            check_end();
            return 0;
        }
        decoded_ += static_cast<uint64_t>(got);
        const std::size_t n =
            static_cast<std::size_t>(got) * static_cast<std::size_t>(info_.channels);
        for (std::size_t i = 0; i < n; ++i) {
            // The detector expects 16-bit scale, so normalised input is scaled by 32768. Float
            // files may hold anything: NaN and infinities become silence, and values are kept
            // within +-2^20 so that no later sum can overflow.
            const double v = out[i] * rsid_signal::full_scale;
            out[i] = std::isfinite(v) ? std::clamp(v, -1048576.0, 1048576.0) : 0.0;
        }
        return static_cast<std::size_t>(got);
    }

  private:
    // Decoding ended (a decoder that loses its way at a cut counts as ending there). Fewer
    // frames than the header promised means the input was cut off; once all of them are in,
    // a failure was about bytes after the stream, which are not ours to read.
    void check_end() const {
        if (info_.frames > 0) {
            if (decoded_ < static_cast<uint64_t>(info_.frames) && !stopping())
                throw input_error(info_.name + ": truncated: " + std::to_string(decoded_) +
                                  " of the " + std::to_string(info_.frames) +
                                  " frames its header promises");
            return;
        }
        if (failed_)
            throw input_error(sndfile_error(file_.get(), info_.name));
    }

    std::unique_ptr<byte_stream> stream_; // declared first: outlives io_ and file_
    stream_io io_;
    sndfile_ptr file_;
    uint64_t decoded_ = 0;
    bool failed_ = false; // libsndfile reported an error: read no further
    bool done_ = false;
};

std::unique_ptr<audio_source> open_sound_stream(std::unique_ptr<byte_stream> stream,
                                                const std::string& name) {
    if (std::optional<stream_layout> layout = read_stream_header(*stream, name)) {
        return open_raw_stream(std::move(stream), name, layout->format, layout->description,
                               layout->data_bytes, layout->warning, layout->start);
    }
    if (stop_requested)
        throw input_error(name + ": interrupted while reading the header");
    return std::make_unique<sndfile_source>(std::move(stream), name);
}

} // namespace

std::unique_ptr<audio_source> open_sound_file(const std::string& path, stop_check stop) {
    return open_sound_stream(open_path_stream(path, std::move(stop)), path);
}

std::unique_ptr<audio_source> open_sound_fd(int fd, const std::string& name) {
    return open_sound_stream(fd_stream(fd, false, name), name);
}

std::unique_ptr<audio_source> open_sound_memory(std::span<const unsigned char> bytes,
                                                const std::string& name) {
    return open_sound_stream(memory_stream(bytes), name);
}

} // namespace rsid_tool
