// sound_file.cpp - containers read through libsndfile: from a path, a descriptor or memory.
#include "audio_input.h"
#include "sndfile_io.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
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

// libsndfile shortens a data chunk that runs past the end of the file and only notes it in its
// log, as "data : 96000 (should be 49956)". A recording cut off in the middle must not pass for
// a complete one, so the log is read for that note.
bool data_chunk_truncated(SNDFILE* f) {
    char log[8192] = {};
    sf_command(f, SFC_GET_LOG_INFO, log, sizeof(log) - 1);
    const char* line = log;
    while (line && *line) {
        long long stated = 0;
        long long actual = 0;
        if ((std::strncmp(line, "data", 4) == 0 || std::strncmp(line, "SSND", 4) == 0) &&
            std::sscanf(line, "%*s : %lld (should be %lld)", &stated, &actual) == 2 &&
            stated > actual)
            return true;
        line = std::strchr(line, '\n');
        if (line)
            ++line;
    }
    return false;
}

class sound_source final : public audio_source {
  public:
    // memory may be null; when set it backs the virtual I/O that file reads through.
    sound_source(sndfile_ptr file, const SF_INFO& sf_info, std::string name, bool live,
                 std::shared_ptr<void> memory = nullptr)
        : memory_(std::move(memory)), file_(std::move(file)) {
        info_.name = std::move(name);
        info_.live = live;
        if (sf_info.channels < 1 || sf_info.channels > max_channels)
            throw input_error(info_.name + ": unsupported channel count " +
                              std::to_string(sf_info.channels));
        if (sf_info.samplerate < min_rate || sf_info.samplerate > max_rate)
            throw input_error(info_.name + ": unsupported sample rate " +
                              std::to_string(sf_info.samplerate));
        info_.rate = sf_info.samplerate;
        info_.channels = sf_info.channels;
        info_.frames = sf_info.frames >= 0 && sf_info.frames < SF_COUNT_MAX ? sf_info.frames : -1;
        info_.format = format_name(file_.get(), sf_info.format);
        truncated_ = data_chunk_truncated(file_.get());
        // Integer data comes back normalised to +-1 (full scale / 32768 for 16-bit); float data
        // comes back as stored, which by convention is also +-1. Both are scaled back below.
        sf_command(file_.get(), SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
    }

    std::size_t read(double* out, std::size_t frames) override {
        if (done_ || stop_requested)
            return 0;
        const sf_count_t got = sf_readf_double(file_.get(), out, static_cast<sf_count_t>(frames));
        if (got < 0 || sf_error(file_.get()) != SF_ERR_NO_ERROR)
            throw input_error(info_.name + ": " + sf_strerror(file_.get()));
        if (got == 0) {
            done_ = true;
            if (truncated_)
                throw input_error(info_.name + ": truncated: the data ends before its header says");
            return 0;
        }
        const std::size_t n =
            static_cast<std::size_t>(got) * static_cast<std::size_t>(info_.channels);
        for (std::size_t i = 0; i < n; ++i) {
            // The detector expects 16-bit scale, so normalised input is scaled by 32768. Float
            // files may hold anything: NaN and infinities become silence, and values are kept
            // within +-2^20 so that no later sum can overflow.
            const double v = out[i] * 32768.0;
            out[i] = std::isfinite(v) ? std::clamp(v, -1048576.0, 1048576.0) : 0.0;
        }
        return static_cast<std::size_t>(got);
    }

  private:
    std::shared_ptr<void> memory_; // declared first: destroyed after file_ is closed
    sndfile_ptr file_;
    bool truncated_ = false;
    bool done_ = false;
};

bool is_live(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 &&
           (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
}

std::string open_error(const std::string& name) { return name + ": " + sf_strerror(nullptr); }

} // namespace

std::unique_ptr<audio_source> open_sound_file(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        throw input_error(path + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        throw input_error(path + ": is a directory");
    SF_INFO sf_info{};
    sndfile_ptr f(sf_open(path.c_str(), SFM_READ, &sf_info));
    if (!f)
        throw input_error(open_error(path));
    const bool live = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode);
    return std::make_unique<sound_source>(std::move(f), sf_info, path, live);
}

std::unique_ptr<audio_source> open_sound_fd(int fd, const std::string& name) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        throw input_error(name + ": " + std::strerror(errno));
    if (S_ISREG(st.st_mode)) {
        SF_INFO sf_info{};
        sndfile_ptr f(sf_open_fd(fd, SFM_READ, &sf_info, SF_FALSE)); // the caller owns fd
        if (!f)
            throw input_error(open_error(name));
        return std::make_unique<sound_source>(std::move(f), sf_info, name, false);
    }
    // libsndfile seeks while it reads some containers (FLAC, Ogg), which a pipe cannot do, and
    // fails part-way depending on how the writer's data happens to arrive. A container on a pipe
    // is therefore read to its end first; live streams come as raw samples, which are not.
    struct backing {
        std::vector<unsigned char> bytes;
        std::unique_ptr<memory_io> io;
    };
    auto memory = std::make_shared<backing>();
    std::vector<unsigned char> chunk(1 << 16);
    for (;;) {
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR && !stop_requested)
            continue;
        if (got < 0 && errno != EINTR)
            throw input_error(name + ": " + std::strerror(errno));
        if (got <= 0)
            break;
        memory->bytes.insert(memory->bytes.end(), chunk.begin(), chunk.begin() + got);
    }
    memory->io = std::make_unique<memory_io>(memory->bytes);
    SF_INFO sf_info{};
    sndfile_ptr f = memory->io->open(sf_info);
    if (!f)
        throw input_error(name + ": " + sf_strerror(nullptr));
    return std::make_unique<sound_source>(std::move(f), sf_info, name, is_live(fd),
                                          std::move(memory));
}

std::unique_ptr<audio_source> open_sound_memory(std::span<const unsigned char> bytes,
                                                const std::string& name) {
    auto memory = std::make_shared<memory_io>(bytes);
    SF_INFO sf_info{};
    sndfile_ptr f = memory->open(sf_info);
    if (!f)
        throw input_error(name + ": " + sf_strerror(nullptr));
    return std::make_unique<sound_source>(std::move(f), sf_info, name, false, std::move(memory));
}

} // namespace rsid_tool
