// iq_input.h - the input side of `rsid scan`: a whole band as frames of floats for the band
// scanner, from raw I/Q (a file or a live pipe), a SigMF recording or a sound file.
//
//   raw I/Q     cu8, cs8, cs16 (little-endian), cf32 (little-endian), I then Q, normalised to a
//               complex full scale of 1: cu8 (v - 127.5) / 128, cs8 v / 128, cs16 v / 32768,
//               cf32 as stored (non-finite values become 0, huge ones are clamped);
//   SigMF       the same samples, their type, rate and centre read from the .sigmf-meta
//               (sigmf.h);
//   sound file  anything libsndfile reads (audio_input.h), normalised to +-1: one channel (or
//               the mix of several) is real audio from 0 Hz to half the rate; two channels
//               with --iq are I and Q.
//
// A pipe is read as it arrives: a read returns the whole frames that came, a frame split
// across reads waits for its other bytes, and memory does not grow with the input. Errors are
// input_error (audio_input.h), naming the input.
#ifndef RSID_TOOL_IQ_INPUT_H
#define RSID_TOOL_IQ_INPUT_H

#include "input/audio_input.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace rsid_tool {

enum class iq_type { cu8, cs8, cs16, cf32 };

// -t names: cu8 cs8 cs16 cf32.
std::optional<iq_type> parse_iq_type(const std::string& name);
// The type a raw I/Q file's name gives: .cu8 .cs8 .cs16 .cf32 (in any case).
std::optional<iq_type> iq_type_of_name(const std::string& path);
// SigMF core:datatype names: cu8 ci8 ci16_le cf32_le; and back.
std::optional<iq_type> sigmf_iq_type(const std::string& datatype);
const char* sigmf_datatype(iq_type type);
std::size_t iq_frame_bytes(iq_type type); // bytes of one I/Q pair
// Decodes frames I/Q pairs of the type at bytes into out[0 .. 2 * frames), on the full scale
// of 1 described above.
void decode_iq(const unsigned char* bytes, std::size_t frames, iq_type type, float* out);

// Sample rates the band scanner takes [frames/s].
inline constexpr double min_band_rate = 6000.0;
inline constexpr double max_band_rate = 20e6;

struct band_info {
    std::string name;                // for messages and records: the path, or "stdin"
    std::string format;              // human-readable, for -v
    double rate = 0.0;               // frames per second (I/Q pairs or real samples)
    bool complex = false;            // I/Q rather than real audio
    double center_hz = 0.0;          // frequency of the band's centre (I/Q) or of 0 Hz (real audio)
    int64_t frames = -1;             // total frames when known, else -1
    bool live = false;               // a pipe, terminal or socket
    std::optional<iq_type> type;     // raw and SigMF samples: their type
    std::optional<start_time> start; // when the first frame was recorded (SigMF, bext)
};

// Frames of floats, interleaved I, Q for complex bands, on a full scale of 1.
class band_source {
  public:
    virtual ~band_source() = default;
    // Fills out[0 .. frames * (complex ? 2 : 1)) and returns the frames written; 0 only at the
    // end of the input (or once stop_requested is set). A live band may be retuned on the way
    // (zmq_input.h): one read never returns frames of two centres, and after it
    // info().center_hz is the centre of the frames it returned.
    virtual std::size_t read(float* out, std::size_t frames) = 0;
    const band_info& info() const { return info_; }

  protected:
    band_info info_;
};

// Raw I/Q from a path, from a descriptor the caller keeps open (stdin) or from memory. The rate
// must lie in min_band_rate..max_band_rate.
std::unique_ptr<band_source> open_iq_file(const std::string& path, iq_type type, double rate,
                                          double center_hz);
std::unique_ptr<band_source> open_iq_fd(int fd, const std::string& name, iq_type type, double rate,
                                        double center_hz);
std::unique_ptr<band_source> open_iq_memory(std::span<const unsigned char> bytes,
                                            const std::string& name, iq_type type, double rate,
                                            double center_hz);

// What the command line says about the bands it names (rsid scan's -t, -r, --center, --iq).
struct band_request {
    std::optional<iq_type> type;     // -t: every input but SigMF is raw I/Q of this type
    std::optional<double> rate;      // -r: the rate of raw I/Q [frames/s]
    std::optional<double> center_hz; // --center: over a SigMF recording's own frequency too
    bool iq = false;                 // --iq: a sound file's two channels are I and Q
};

// Opens one input ("-" is stdin) as a band: a SigMF recording by either name of its pair, raw
// I/Q by -t or else by its name, anything else as a sound file. Every error names the option
// that fixes it (-r RATE, -t TYPE); `note` gets what the user should know but that is no error
// (an explicit --center over the recording's core:frequency).
std::unique_ptr<band_source> open_band(const std::string& input, const band_request& request,
                                       const std::function<void(const std::string&)>& note);

// A sound file's frames as a band: real audio (one channel, or the mix), or with iq exactly two
// channels as I and Q.
std::unique_ptr<band_source> open_sound_band(std::unique_ptr<audio_source> sound, bool iq,
                                             double center_hz);

} // namespace rsid_tool

#endif
