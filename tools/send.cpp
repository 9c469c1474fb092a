// send.cpp - `rsid send`: the identifier, with silence around it, written to an audio file.
#include "commands.h"
#include "rsid.h"

#include <fmt/core.h>
#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace rsid_tool {

namespace {

constexpr double generator_rate = 48000.0; // samples/s of rsid_get
constexpr long sequence_samples = 66840;   // 15 tones of 4456 samples: 1.3925 s

struct container {
    const char* name;
    int format; // libsndfile major format
};

constexpr std::array<container, 9> containers{{
    {"wav", SF_FORMAT_WAV},
    {"flac", SF_FORMAT_FLAC},
    {"ogg", SF_FORMAT_OGG},
    {"aiff", SF_FORMAT_AIFF},
    {"aif", SF_FORMAT_AIFF},
    {"au", SF_FORMAT_AU},
    {"caf", SF_FORMAT_CAF},
    {"w64", SF_FORMAT_W64},
    {"raw", SF_FORMAT_RAW},
}};

int container_format(std::string type, const std::string& output) {
    if (type.empty()) {
        if (output == "-")
            throw usage_error("send: writing to stdout needs the type: -t TYPE");
        const auto dot = output.find_last_of('.');
        if (dot == std::string::npos || output.find('/', dot) != std::string::npos)
            throw usage_error("send: cannot tell the type of '" + output +
                              "' from its name: -t TYPE");
        type = output.substr(dot + 1);
    }
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const container& c : containers)
        if (type == c.name)
            return c.format;
    throw usage_error("send: unknown type '" + type + "' (wav flac ogg aiff au caf w64 raw)");
}

// Sample format of the output: 16-bit signed unless -e/-b say otherwise. Eight-bit WAV exists
// only unsigned, so an unstated 8-bit encoding falls back to unsigned where signed is refused.
int full_format(const send_options& o, int major) {
    if (major == SF_FORMAT_OGG)
        return major | SF_FORMAT_VORBIS;
    const std::string enc = o.encoding.value_or("signed");
    const auto e = parse_encoding(enc);
    if (!e)
        throw usage_error("send: unknown encoding '" + enc + "'");
    const int bits =
        o.bits.value_or(*e == sample_encoding::floating                                 ? 32
                        : *e == sample_encoding::mu_law || *e == sample_encoding::a_law ? 8
                                                                                        : 16);
    int sub = 0;
    switch (*e) {
    case sample_encoding::signed_int:
        sub = bits == 8    ? SF_FORMAT_PCM_S8
              : bits == 16 ? SF_FORMAT_PCM_16
              : bits == 24 ? SF_FORMAT_PCM_24
              : bits == 32 ? SF_FORMAT_PCM_32
                           : 0;
        break;
    case sample_encoding::unsigned_int:
        sub = bits == 8 ? SF_FORMAT_PCM_U8 : 0;
        break;
    case sample_encoding::floating:
        sub = bits == 32 ? SF_FORMAT_FLOAT : bits == 64 ? SF_FORMAT_DOUBLE : 0;
        break;
    case sample_encoding::mu_law:
        sub = bits == 8 ? SF_FORMAT_ULAW : 0;
        break;
    case sample_encoding::a_law:
        sub = bits == 8 ? SF_FORMAT_ALAW : 0;
        break;
    }
    if (sub == 0)
        throw usage_error(fmt::format("send: no {}-bit {} samples", bits, enc));
    // Raw output is little-endian, as `detect -t raw` reads it.
    const int endian = major == SF_FORMAT_RAW ? SF_ENDIAN_LITTLE : SF_ENDIAN_FILE;
    SF_INFO check{};
    check.samplerate = o.rate;
    check.channels = 1;
    check.format = major | sub | endian;
    if (sf_format_check(&check))
        return check.format;
    if (sub == SF_FORMAT_PCM_S8 && !o.encoding) {
        check.format = major | SF_FORMAT_PCM_U8 | endian;
        if (sf_format_check(&check))
            return check.format;
    }
    throw usage_error(fmt::format("send: this type cannot hold {}-bit {} samples", bits, enc));
}

// Growing bytes behind libsndfile's virtual I/O, for containers that seek back to finish their
// header: a pipe cannot, so stdout gets the finished bytes at the end.
struct memory_sink {
    std::vector<unsigned char> bytes;
    sf_count_t pos = 0;

    static memory_sink& of(void* user) { return *static_cast<memory_sink*>(user); }
    static sf_count_t length(void* user) { return static_cast<sf_count_t>(of(user).bytes.size()); }
    static sf_count_t seek(sf_count_t offset, int whence, void* user) {
        memory_sink& m = of(user);
        const sf_count_t base = whence == SEEK_CUR   ? m.pos
                                : whence == SEEK_END ? static_cast<sf_count_t>(m.bytes.size())
                                                     : 0;
        m.pos = std::max<sf_count_t>(0, base + offset);
        return m.pos;
    }
    static sf_count_t read(void* ptr, sf_count_t count, void* user) {
        memory_sink& m = of(user);
        const sf_count_t size = static_cast<sf_count_t>(m.bytes.size());
        const sf_count_t n = std::clamp<sf_count_t>(size - m.pos, 0, count);
        if (n > 0)
            std::memcpy(ptr, m.bytes.data() + m.pos, static_cast<std::size_t>(n));
        m.pos += n;
        return n;
    }
    static sf_count_t write(const void* ptr, sf_count_t count, void* user) {
        memory_sink& m = of(user);
        const auto end = static_cast<std::size_t>(m.pos + count);
        if (m.bytes.size() < end)
            m.bytes.resize(end);
        std::memcpy(m.bytes.data() + m.pos, ptr, static_cast<std::size_t>(count));
        m.pos += count;
        return count;
    }
    static sf_count_t tell(void* user) { return of(user).pos; }
};

SF_VIRTUAL_IO sink_io = {memory_sink::length, memory_sink::seek, memory_sink::read,
                         memory_sink::write, memory_sink::tell};

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

// The output stream: samples at 48000/s on the 16-bit scale go in, are converted to the output
// rate when it differs, and are written through libsndfile.
class sound_writer {
  public:
    sound_writer(const send_options& o, int format) : name_(o.output == "-" ? "stdout" : o.output) {
        SF_INFO info{};
        info.samplerate = o.rate;
        info.channels = 1;
        info.format = format;
        if (o.output != "-")
            file_ = sf_open(o.output.c_str(), SFM_WRITE, &info);
        else if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW)
            file_ = sf_open_fd(STDOUT_FILENO, SFM_WRITE, &info, SF_FALSE); // streams as it goes
        else
            file_ = sf_open_virtual(&sink_io, SFM_WRITE, &info, &sink_);
        if (!file_)
            throw output_error(name_ + ": " + sf_strerror(nullptr));
        to_stdout_ = o.output == "-" && (format & SF_FORMAT_TYPEMASK) != SF_FORMAT_RAW;
        const int sub = format & SF_FORMAT_SUBMASK;
        float_ = sub == SF_FORMAT_FLOAT || sub == SF_FORMAT_DOUBLE;
        if (o.rate != static_cast<int>(generator_rate)) {
            soxr_error_t error = nullptr;
            const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
            const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
            soxr_ = soxr_create(generator_rate, o.rate, 1, &error, &io, &quality, &runtime);
            if (!soxr_ || error)
                throw output_error(std::string("resampler: ") + (error ? error : "cannot create"));
        }
    }
    ~sound_writer() {
        if (soxr_)
            soxr_delete(soxr_);
        if (file_)
            sf_close(file_);
    }
    sound_writer(const sound_writer&) = delete;
    sound_writer& operator=(const sound_writer&) = delete;

    void write(const double* samples, std::size_t n) {
        if (!soxr_) {
            put(samples, n);
            return;
        }
        resample(samples, n);
    }

    void silence(long n) {
        const std::vector<double> zeros(4800, 0.0);
        for (; n > 0; n -= 4800)
            write(zeros.data(), static_cast<std::size_t>(std::min(n, 4800L)));
    }

    // Flushes the resampler, finishes the container and, for stdout, writes its bytes.
    void finish() {
        if (soxr_)
            resample(nullptr, 0);
        SNDFILE* f = file_;
        file_ = nullptr;
        if (sf_close(f) != 0)
            throw output_error(name_ + ": " + sf_strerror(nullptr));
        if (to_stdout_)
            write_all(STDOUT_FILENO, sink_.bytes.data(), sink_.bytes.size(), name_);
    }

  private:
    void resample(const double* in, std::size_t n) {
        std::size_t done = 0;
        for (;;) {
            std::size_t idone = 0;
            std::size_t odone = 0;
            const soxr_error_t error =
                in ? soxr_process(soxr_, in + done, n - done, &idone, out_.data(), out_.size(),
                                  &odone)
                   : soxr_process(soxr_, nullptr, 0, nullptr, out_.data(), out_.size(), &odone);
            if (error)
                throw output_error(std::string("resampler: ") + error);
            put(out_.data(), odone);
            done += idone;
            if (in ? (done == n && odone < out_.size()) : odone == 0)
                return;
        }
    }

    // Integer files get 32-bit integers, 65536 per 16-bit step: libsndfile narrows them exactly
    // to 16 and 24 bits, so 48000/s 16-bit output holds the generator's samples unchanged.
    // Float files get normalised doubles (libsndfile stores integers in them unscaled).
    void put(const double* samples, std::size_t n) {
        sf_count_t w = 0;
        if (float_) {
            doubles_.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                doubles_[i] = samples[i] / 32768.0;
            w = sf_writef_double(file_, doubles_.data(), static_cast<sf_count_t>(n));
        } else {
            ints_.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                ints_[i] = static_cast<int>(
                    std::lrint(std::clamp(samples[i], -32768.0, 32767.0) * 65536.0));
            w = sf_writef_int(file_, ints_.data(), static_cast<sf_count_t>(n));
        }
        if (w != static_cast<sf_count_t>(n))
            throw output_error(name_ + ": " + sf_strerror(file_));
    }

    std::string name_;
    SNDFILE* file_ = nullptr;
    soxr_t soxr_ = nullptr;
    memory_sink sink_;
    bool to_stdout_ = false;
    std::vector<double> out_ = std::vector<double>(8192);
    std::vector<int> ints_;
    std::vector<double> doubles_;
    bool float_ = false; // float or double samples in the file
};

long seconds_to_samples(double s) { return std::lround(s * generator_rate); }

void check(const send_options& o) {
    if (!(o.freq > 0.0) || !std::isfinite(o.freq))
        throw usage_error("send: -f needs a positive frequency in Hz");
    const double top = o.freq + 15 * 10.7666; // tone 15 lies 15 steps of 10.7666 Hz above tone 0
    if (top >= generator_rate / 2)
        throw usage_error(fmt::format("send: tones up to {:.1f} Hz do not fit 48000/s", top));
    if (o.rate < 1000 || o.rate > 768000)
        throw usage_error("send: -r must lie in 1000 to 768000");
    if (top >= o.rate / 2.0)
        throw usage_error(
            fmt::format("send: tones up to {:.1f} Hz need a rate above {:.0f}/s", top, 2 * top));
    if (!(o.volume > 0.0 && o.volume <= 1.6))
        throw usage_error("send: --volume must lie in (0, 1.6]");
    for (double s : {o.lead, o.tail, o.gap})
        if (!(s >= 0.0 && s <= 86400.0))
            throw usage_error("send: --lead, --tail and --gap take 0 to 86400 seconds");
    if (o.repeat < 1 || o.repeat > 100000)
        throw usage_error("send: --repeat takes 1 to 100000");
}

} // namespace

int run_send(const send_options& o) {
    check(o);
    const int format = full_format(o, container_format(o.type, o.output));
    // Detection range: tone 0 in DFT bins 111 to 414 at 6000/s, 5.3833 Hz apart.
    if (!o.quiet && (o.freq < 600.0 || o.freq > 2231.4))
        fmt::print(stderr,
                   "rsid: warning: {:.1f} Hz lies outside the detector's range "
                   "(600 to 2231 Hz)\n",
                   o.freq);

    sound_writer out(o, format);
    out.silence(seconds_to_samples(o.lead));
    std::array<int16_t, 1920> block{};
    std::array<double, 1920> scaled{};
    for (int r = 0; r < o.repeat; ++r) {
        if (r > 0)
            out.silence(seconds_to_samples(o.gap));
        rsid_encode(o.freq);
        long left = sequence_samples; // the last block ends in silence that is not ours to send
        int more = 1;
        while (more && left > 0) {
            more = rsid_get(block.data());
            const long n = std::min<long>(left, 1920);
            for (long i = 0; i < n; ++i)
                scaled[static_cast<std::size_t>(i)] = block[static_cast<std::size_t>(i)] * o.volume;
            out.write(scaled.data(), static_cast<std::size_t>(n));
            left -= n;
        }
    }
    out.silence(seconds_to_samples(o.tail));
    out.finish();
    return exit_found;
}

} // namespace rsid_tool
