// audio_input.h - the rsid tool's input path: from a file, a stream or bytes in memory to the
// detector's blocks of 960 samples at 6000 samples/s on the 16-bit scale.
//
// The path has two stages:
//
//   audio_source    decodes a container (anything libsndfile reads) or headerless raw samples
//                   and yields interleaved frames as doubles on the 16-bit scale (full scale of
//                   any integer or normalised float encoding is +-32768);
//   detector_feed   picks one channel or averages them all, converts the rate to 6000/s with
//                   soxr (high quality, one thread) and cuts the result into blocks of 960.
//
// Errors: every function here reports bad or unreadable input by throwing input_error, whose
// message names the input and says what is wrong in one line. Nothing else is thrown apart from
// std::bad_alloc. No byte sequence can make these functions crash, hang or read out of bounds:
// sample rates, channel counts and encodings are checked before any buffer is sized, and
// non-finite or huge sample values are replaced before they reach the resampler or the
// detector. decode_memory() is the entry point for fuzzing.
#ifndef RSID_TOOL_AUDIO_INPUT_H
#define RSID_TOOL_AUDIO_INPUT_H

#include "input/byte_stream.h" // stop_check
#include "input/start_time.h"
#include "resampler.h" // engine/
#include "rsid_signal.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace rsid_tool {

inline constexpr double detector_rate = rsid_signal::rx_rate; // samples/s the detector expects
inline constexpr std::size_t detector_block = rsid_signal::rx_block; // samples per rsid_check call

// Limits that every source enforces, so that a hostile header cannot size a buffer or make the
// resampler's ratio extreme.
inline constexpr double min_rate = 1000.0;    // samples/s
inline constexpr double max_rate = 1536000.0; // samples/s
inline constexpr int max_channels = 64;

struct input_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// An input that is no container libsndfile knows: the caller may say which option describes it.
struct unknown_format_error : input_error {
    using input_error::input_error;
};

// Set from a signal handler to the signal's number (SIGINT, SIGTERM): sources then end as if at
// end of input, so that the caller can flush what it has, and a read waiting on a silent pipe
// notices within 200 ms. Read-only for everything in this library. An atomic rather than a
// volatile sig_atomic_t: the handler runs on one thread and the readers of several jobs look
// at it on theirs; lock-free, so the handler may store to it.
extern std::atomic<int> stop_requested;
static_assert(std::atomic<int>::is_always_lock_free);

// Set once an output has failed (stdout full or gone bad), or any other stage for good (memory):
// sources then end as on a stop request, so that a failure in any stage ends every stage of
// every input, while the tool still exits with that error rather than a signal's status.
extern std::atomic<bool> output_failed;

// True once sources should end as at end of input: a stop signal or a failed output.
inline bool stopping() { return stop_requested != 0 || output_failed.load(); }

enum class sample_encoding { signed_int, unsigned_int, floating, mu_law, a_law };

// The stated format of headerless input; nothing about raw input is ever guessed.
// Samples are interleaved.
struct raw_format {
    double rate = 0.0; // frames per second, min_rate..max_rate
    sample_encoding encoding = sample_encoding::signed_int;
    int bits = 16;           // signed 8/16/24/32, unsigned 8/16, float 32/64, mu-law and A-law 8
    int channels = 1;        // 1..max_channels
    bool big_endian = false; // byte order of samples wider than 8 bits
};

// Throws input_error (naming `what`) unless the format is one of those listed above.
void check_raw_format(const raw_format& format, const std::string& what);

// Parses an encoding name: signed, unsigned, float, mu-law (or ulaw), a-law (or alaw).
std::optional<sample_encoding> parse_encoding(const std::string& name);

struct source_info {
    std::string name;    // for messages: the path, or "stdin"
    std::string format;  // human-readable, e.g. "WAV 16-bit PCM" or "raw signed 16-bit"
    double rate = 0.0;   // frames per second
    int channels = 0;    // interleaved channels per frame
    int64_t frames = -1; // total frames if the container says, else -1
    bool live = false;   // a pipe, terminal or socket rather than a file
    std::string warning; // something odd about the input that did not stop it being read
    std::optional<start_time> start; // when the first frame was recorded, if the file says (bext)
};

// A decoder. read() fills out[0 .. frames * channels) and returns the number of whole frames
// written, 0 only at end of input (or once stop_requested is set). Samples are finite and on the
// 16-bit scale. A container whose data ends before its header said throws input_error at the
// end, after every frame that was there has been returned.
class audio_source {
  public:
    virtual ~audio_source() = default;
    virtual std::size_t read(double* out, std::size_t frames) = 0;
    const source_info& info() const { return info_; }

  protected:
    source_info info_;
};

// Any container libsndfile reads, from a path, from an open descriptor (stdin) or from bytes
// that stay owned by the caller. A descriptor that is not a regular file (a pipe) is read to its
// end before decoding starts, because libsndfile seeks in some containers; stream live audio as
// raw samples instead.
// `stop` is a host's own stop request (byte_stream.h), asked while a FIFO keeps it waiting.
std::unique_ptr<audio_source> open_sound_file(const std::string& path, stop_check stop = {});
std::unique_ptr<audio_source> open_sound_fd(int fd, const std::string& name);
std::unique_ptr<audio_source> open_sound_memory(std::span<const unsigned char> bytes,
                                                const std::string& name);

// Headerless samples in the stated format. The descriptor may be a pipe: short reads are
// gathered, a frame split across reads is kept until its other bytes arrive, and an
// interrupted read ends the stream once stop_requested is set. Trailing bytes that do not make
// a whole frame are ignored.
std::unique_ptr<audio_source> open_raw_file(const std::string& path, const raw_format& format);
std::unique_ptr<audio_source> open_raw_fd(int fd, const std::string& name,
                                          const raw_format& format);
std::unique_ptr<audio_source> open_raw_memory(std::span<const unsigned char> bytes,
                                              const std::string& name, const raw_format& format);

// Which channel goes to the detector: 0 averages all channels, 1..n takes that one.
using channel_choice = int;

// The detector's view of a source. Positions count samples at 6000/s from the start of the
// input; soxr keeps its output aligned with its input, so output sample j stands for input time
// j / 6000 s and the resampler's delay only makes samples arrive later, it does not move them.
class detector_feed {
  public:
    // Throws input_error if the channel does not exist in the source.
    detector_feed(audio_source& source, channel_choice channel);
    ~detector_feed();
    detector_feed(const detector_feed&) = delete;
    detector_feed& operator=(const detector_feed&) = delete;

    // Fills block with the next 960 samples; the last block of the input is completed with
    // silence. Returns false once everything, including the resampler's tail, has been
    // delivered. Throws input_error from the source.
    bool next(std::array<double, detector_block>& block);

    uint64_t delivered() const { return delivered_; }     // detector samples handed out so far
    uint64_t frames_read() const { return frames_read_; } // source frames taken in so far

  private:
    void pull(); // moves more samples from the source through the resampler into pending_
    audio_source& source_;
    channel_choice channel_;
    std::unique_ptr<rsid::resampler> resampler_; // null when the source is already at 6000/s
    std::vector<double> frames_;                 // interleaved frames read from the source
    std::vector<double> mono_;                   // one channel or the mix of them
    std::vector<double> pending_;                // 6000/s samples not yet handed out
    std::size_t pending_head_ = 0;
    bool source_done_ = false;
    bool flushed_ = false;
    uint64_t delivered_ = 0;
    uint64_t frames_read_ = 0;
};

// Decodes bytes (a container when raw is empty, else raw samples in that format) and calls
// on_block for every detector block, in order. Returns the number of blocks. Throws only
// input_error (and std::bad_alloc). This is the fuzzing entry point.
std::size_t decode_memory(std::span<const unsigned char> bytes,
                          const std::optional<raw_format>& raw, channel_choice channel,
                          const std::function<void(const double* block)>& on_block);

} // namespace rsid_tool

#endif
