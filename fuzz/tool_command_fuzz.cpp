// tool_command_fuzz.cpp - the rsid tool's command line and `rsid send`, in-process.
//
// The first byte chooses the mode:
//
//   even  argv: the rest is split at NUL, space and newline into at most 24 words after "rsid"
//         and parsed as main() parses it. Help, a parse error, usage_error and mqtt_error are
//         the allowed ways to refuse. A `send` that parses and stays small (at most two
//         identifiers, a second of silence around them) is then run with its output moved
//         into a scratch directory, and what it wrote is read back.
//   odd   send: the options come from the bytes (frequency, rate, bits, encoding, container
//         by -t or by the file's name, volume, lead, tail, repeat, gap), the output is a file
//         or a FIFO read by another thread (a stream, as stdout is), and what was written is
//         read back through the input path.
//
// What was written must read back without input_error, hold the frames the options ask for,
// and, where nothing on the way loses the signal, make the tool's detectors (as `rsid detect`
// runs them) report the frequency sent.
#include "command_line.h"
#include "fuzz_support.h"
#include "input/audio_input.h"
#include "output/output_format.h"
#include "publish/mqtt_publisher.h"
#include "recognizer.h"
#include "rsid.h"
#include "rsid_signal.h"
#include "rsid_state.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sndfile.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using fuzz::require;

using namespace rsid_tool;
namespace sig = rsid_signal;

// One scratch directory for the process; each input leaves it empty.
const std::string& scratch() {
    static const std::string dir = [] {
        std::string d = "/tmp/rsid-fuzz-XXXXXX";
        require(mkdtemp(d.data()) != nullptr);
        return d;
    }();
    return dir;
}

// Reads a FIFO (opened before the writer, so that its open does not wait) until the writer has
// finished and the FIFO is drained.
class fifo_reader {
  public:
    explicit fifo_reader(const std::string& path)
        : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
        require(fd_ >= 0);
        thread_ = std::thread([this] { run(); });
    }
    // Called once the writer has closed its end: whatever is in the FIFO is the whole output.
    std::vector<unsigned char> finish() {
        done_ = true;
        thread_.join();
        close(fd_);
        return std::move(bytes_);
    }

  private:
    void run() {
        unsigned char chunk[65536];
        for (;;) {
            const bool last = done_; // read before draining: nothing can arrive after it is set
            for (;;) {
                const ssize_t n = read(fd_, chunk, sizeof chunk);
                if (n <= 0)
                    break;
                bytes_.insert(bytes_.end(), chunk, chunk + n);
            }
            if (last)
                return;
            pollfd p{fd_, POLLIN, 0};
            (void)poll(&p, 1, 5);
        }
    }
    int fd_;
    std::atomic<bool> done_{false};
    std::vector<unsigned char> bytes_;
    std::thread thread_;
};

// The raw format of a libsndfile sub-format, as `rsid detect -t raw` would be told it.
raw_format raw_of(int format, int rate) {
    raw_format f;
    f.rate = rate;
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
        f.bits = 8;
        break;
    case SF_FORMAT_PCM_U8:
        f.encoding = sample_encoding::unsigned_int;
        f.bits = 8;
        break;
    case SF_FORMAT_PCM_24:
        f.bits = 24;
        break;
    case SF_FORMAT_PCM_32:
        f.bits = 32;
        break;
    case SF_FORMAT_FLOAT:
        f.encoding = sample_encoding::floating;
        f.bits = 32;
        break;
    case SF_FORMAT_DOUBLE:
        f.encoding = sample_encoding::floating;
        f.bits = 64;
        break;
    case SF_FORMAT_ULAW:
        f.encoding = sample_encoding::mu_law;
        f.bits = 8;
        break;
    case SF_FORMAT_ALAW:
        f.encoding = sample_encoding::a_law;
        f.bits = 8;
        break;
    default:
        break; // 16-bit signed
    }
    return f;
}

uint64_t samples_of(double s) { return static_cast<uint64_t>(std::llround(s * sig::tx_rate)); }

// Runs `send` with the output in the scratch directory (a file, or a FIFO when as_stream) and
// checks what it wrote. The output's own name is kept only for its extension.
void send_and_read_back(send_options o, bool as_stream) {
    std::string ext;
    if (const auto dot = o.output.find_last_of('.'); dot != std::string::npos)
        for (char c : o.output.substr(dot + 1, 8))
            if (std::isalnum(static_cast<unsigned char>(c)))
                ext += c;
    const std::string path = scratch() + "/out" + (ext.empty() ? "" : "." + ext);
    if (o.output == "-" || as_stream)
        require(mkfifo(path.c_str(), 0600) == 0);
    o.output = path;
    o.quiet = true;

    int major = 0;
    int format = 0;
    try {
        major = container_format(o.type, o.output);
        format = full_format(o.encoding, o.bits, o.rate, major);
    } catch (const usage_error&) {
    }
    std::optional<fifo_reader> fifo;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
        fifo.emplace(path);
    bool written = false;
    try {
        written = run_send(o) == exit_found;
    } catch (const usage_error&) {
        // Options that parse but are refused, each with its message.
    } catch (const output_error&) {
        // A combination libsndfile opens but cannot encode: exit 3 with a message in the tool.
        // Nothing may be left that looks complete.
        if (!fifo && stat(path.c_str(), &st) == 0)
            __builtin_trap();
    }
    std::vector<unsigned char> bytes;
    if (fifo) {
        bytes = fifo->finish();
    } else if (written) {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    unlink(path.c_str());
    if (!written)
        return;
    require(format != 0); // send agreed on the format that full_format gave

    // Read back: raw samples as the format says, everything else by its header.
    const bool raw = major == SF_FORMAT_RAW;
    std::unique_ptr<audio_source> source;
    try {
        source = raw ? open_raw_memory(bytes, "sent", raw_of(format, o.rate))
                     : open_sound_memory(bytes, "sent");
    } catch (const input_error&) {
        require(false); // what the tool writes, it must read
    }
    require(source->info().channels == 1 && source->info().rate == o.rate);

    // Through the detectors as `rsid detect` runs them.
    std::vector<heard> reports;
    scan_callbacks callbacks;
    callbacks.on_heard = [&](const heard& h) {
        reports.push_back(h);
        return true;
    };
    callbacks.on_progress = [](uint64_t) { return true; };
    uint64_t frames = 0;
    try {
        frames = recognize(*source, 0, callbacks);
    } catch (const input_error&) {
        require(false);
    }
    // Frames: the generator's samples and the silences at 48000/s, converted to the output's
    // rate; soxr's output keeps the input's length to within a few samples.
    const double sent = static_cast<double>(samples_of(o.lead) + samples_of(o.tail)) +
                        o.repeat * static_cast<double>(sig::sequence_tx_samples) +
                        (o.repeat - 1) * static_cast<double>(samples_of(o.gap));
    const double expected = sent * o.rate / sig::tx_rate;
    require(std::fabs(static_cast<double>(frames) - expected) <= 4.0);

    // Heard where nothing loses the signal: a lossless container, the tones well inside the
    // band the resampler keeps and the detector scans, and not too quiet for 8 bits.
    const double top = o.freq + 15 * sig::tone_spacing_hz;
    const bool lossless = major != SF_FORMAT_OGG;
    const bool in_band = o.freq > (sig::first_bin + 1.0) * sig::bin_width_hz &&
                         o.freq < (sig::first_bin + sig::columns - 1.0) * sig::bin_width_hz &&
                         top < 0.4 * o.rate;
    if (lossless && in_band && o.volume >= 0.25) {
        require(!reports.empty());
        for (const heard& h : reports)
            require(std::fabs(h.detection.freq_hz - o.freq) <= sig::bin_width_hz);
    }
}

void fuzz_argv(const uint8_t* data, std::size_t size) {
    std::vector<std::string> words{"rsid"};
    std::string word;
    for (std::size_t i = 0; i <= size && words.size() < 25; ++i) {
        const char c = i < size ? static_cast<char>(data[i]) : '\0';
        if (c == '\0' || c == ' ' || c == '\n') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    command_line line;
    try {
        line = parse_command_line(static_cast<int>(words.size()), argv.data());
    } catch (const usage_error&) {
        return;
    } catch (const mqtt_error&) {
        return;
    }
    if (line.which == command_line::command::exit) {
        require(line.status == exit_found || line.status == exit_usage);
        return;
    }
    // Detect and scan would open whatever the words name; only send is run, and only small.
    const send_options& o = line.send;
    const auto small = [](double s) { return s >= 0.0 && s <= 1.0; };
    if (line.which == command_line::command::send && small(o.lead) && small(o.tail) &&
        small(o.gap) && o.repeat >= 1 && o.repeat <= 2)
        send_and_read_back(o, false);
}

void fuzz_send(FuzzedDataProvider& in) {
    static constexpr int rates[] = {48000, 8000, 44100, 11025, 6000, 1000, 999, 768000, 96000};
    static constexpr int bits[] = {0, 8, 16, 24, 32, 64, 12};
    static constexpr const char* encodings[] = {"",       "signed", "unsigned", "float",
                                                "mu-law", "a-law",  "ulaw",     "pcm"};
    static constexpr const char* types[] = {"wav", "flac", "ogg", "aiff", "au",
                                            "caf", "w64",  "raw", "rf64", "WAV"};
    send_options o;
    o.freq = in.ConsumeBool() ? in.ConsumeFloatingPointInRange(500.0, 2400.0)
                              : in.ConsumeFloatingPoint<double>();
    o.rate = in.ConsumeBool() ? rates[in.ConsumeIntegralInRange<std::size_t>(0, 8)]
                              : in.ConsumeIntegral<int>();
    if (const int b = bits[in.ConsumeIntegralInRange<std::size_t>(0, 6)])
        o.bits = b;
    if (const char* e = encodings[in.ConsumeIntegralInRange<std::size_t>(0, 7)]; *e)
        o.encoding = e;
    const std::string type = types[in.ConsumeIntegralInRange<std::size_t>(0, 9)];
    if (in.ConsumeBool())
        o.type = type;
    o.output = "out." + (in.ConsumeBool() ? type : std::string(types[0]));
    o.volume = in.ConsumeBool() ? 1.0 : in.ConsumeFloatingPointInRange(-0.1, 1.7);
    o.lead = in.ConsumeFloatingPointInRange(-0.01, 0.5);
    o.tail = in.ConsumeFloatingPointInRange(0.0, 0.5);
    o.repeat = in.ConsumeIntegralInRange(0, 2);
    o.gap = in.ConsumeFloatingPointInRange(0.0, 0.5);
    const bool as_stream = in.ConsumeBool();
    if (as_stream && o.type.empty())
        o.type = type; // a stream is named by -t, as stdout is
    send_and_read_back(o, as_stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    rsid_tx = rsid_transmitter{};
    if (data[0] % 2 == 0) {
        fuzz_argv(data + 1, size - 1);
    } else {
        FuzzedDataProvider in(data + 1, size - 1);
        fuzz_send(in);
    }
    return 0;
}
