// arguments.h - the Python module's argument layer without Python: what an array's dtype and
// shape must be, the samples copied out of it into a buffer of their own type, the rates,
// centres, channels and file names the module accepts, and the loops that hand the samples to
// the engine. module.cpp calls these with what numpy reports; fuzz/python_arguments_fuzz.cpp
// calls the same functions with arbitrary shapes, types and bytes.
//
// Errors are exceptions the module turns into Python's: wrong_type becomes TypeError, any other
// std::invalid_argument ValueError, std::bad_alloc MemoryError.
#ifndef RSID_PYTHON_ARGUMENTS_H
#define RSID_PYTHON_ARGUMENTS_H

#include "detection.h"
#include "scanner.h"
#include "stream.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace rsid_python {

// An argument of the wrong type (Python's TypeError).
struct wrong_type : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// What numpy says of an array: its dtype (kind 'i', 'u', 'f', 'c', ..., item size in bytes, and
// its name for messages) and its shape.
struct array_shape {
    char kind = 'f';
    std::size_t itemsize = 8;
    std::string dtype = "float64";
    std::vector<std::size_t> dims;
};

// The sample types the module takes; complex types are interleaved I, Q pairs of their part.
enum class sample_type { int16, int32, float32, float64, complex64, complex128 };

// Samples of one call, frames x channels interleaved, in the caller's own type: read in place
// (view) or copied (copy_from). The scale follows the type: integers on their own full scale,
// floats as audio normalised to +-1.
struct audio {
    std::variant<std::vector<int16_t>, std::vector<int32_t>, std::vector<float>,
                 std::vector<double>>
        data; // the samples copy_from() took
    sample_type type = sample_type::float64;
    std::size_t frames = 0;
    std::size_t channels = 1;
    bool two_d = false; // frames x channels; a 1-D array is one channel
    double full_scale = 1.0;
    const char* name = "float64"; // the type's name in messages

    // Reads frames x channels samples of `type` (complex: 2 x frames parts) from C-ordered,
    // native-endian memory in place: it must outlive every use of this value.
    void view(const void* samples);
    // The same from a copy. Throws std::bad_alloc if it does not fit in memory.
    void copy_from(const void* samples);
    // Bytes view() and copy_from() read.
    [[nodiscard]] std::size_t bytes() const;

    // Channel c (0-based) of frames [from, from + n) as doubles.
    void channel(std::size_t c, std::size_t from, std::size_t n, double* out) const;
    // The mean of every channel of frames [from, from + n), as the tool mixes a file's channels.
    void mix(std::size_t from, std::size_t n, double* out) const;
    // Frames [from, from + n), every channel, interleaved as floats for the band scanner.
    // Values beyond float's range become NaN, which the scanner takes as silence, as it does
    // NaN and infinity.
    void frames_as_floats(std::size_t from, std::size_t n, float* out) const;

  private:
    template <typename F> void with_samples(F f) const;
    const void* samples_ = nullptr;
};

// The layout and type of audio samples (1-D, or 2-D frames x channels of int16, int32, float32
// or float64, at most max_channels of them), checked; view() or copy_from() then takes the
// samples. `what` names the array in messages.
audio check_audio(const array_shape& shape, const std::string& what);
// For a whole input (not a stream's chunk, which may be a single frame): refuses 2-D samples
// with more channels than frames, which are almost certainly (channels, frames).
void check_whole(const audio& a, const std::string& what);

// The same for a band: complex64 or complex128 I/Q (full scale 1.0), 2-D real samples of two
// columns, I and Q, when `iq` says so, or 1-D real samples of wide audio. The result has two
// channels for I/Q and one for real audio. `flag` names the argument that says I/Q (iq= for
// scan, complex= for Scanner) in messages.
audio check_band(const array_shape& shape, const std::string& what, std::optional<bool> iq,
                 const char* flag);

void check_rate(double rate);      // a detector's input: 1000 to 1536000 samples/s
void check_scan_rate(double rate); // the band scanner's: 6000 to 20e6
void check_center(double center);  // a finite frequency
// A file name for the operating system: no NUL, which would end it early.
void check_path(const std::string& name);

// The detector's rule, as the tool's --exact and --codes: the library's exact rule, every code
// (all), the codes listed, or, with neither, the default. Throws std::invalid_argument for a
// code outside 0 to 4095, or codes beside the exact rule, which looks for 131 only.
rsid::detector_options rule_of(bool exact, bool all, const std::vector<int>& codes);

// Which channels the detectors hear, as the tool's --channel: the mix of them all, one of them
// (counting from 1), or every one with a detector of its own.
inline constexpr int mix_channels = 0;
inline constexpr int every_channel = -1;
// The channel each detector hears and reports: {0} for the mix, {n} for channel n, {1 .. n}
// for every channel. Throws std::invalid_argument for a channel the samples do not have.
std::vector<int> heard_as(std::size_t channels, int choice);

// Feeds every frame to the detectors, one per entry of heard_as(); run_finish() ends them.
void run_feed(const audio& a, const std::vector<int>& heard,
              std::vector<rsid::stream_detector>& detectors, std::vector<double>& buffer,
              std::vector<rsid::detection>& found);
void run_finish(const std::vector<int>& heard, std::vector<rsid::stream_detector>& detectors,
                std::vector<rsid::detection>& found);
// Feeds every frame of a band (1 or 2 channels) to a scanner, a block at a time.
void run_scan(const audio& a, rsid::band_scanner& scanner, std::vector<float>& buffer,
              std::vector<rsid::detection>& found);

// The order every list is returned in: by start, then channel, then frequency.
void order(std::vector<rsid::detection>& found);
// A detector hears audio, whose frequencies count from 0 Hz: its offset is its frequency.
void audio_offsets(std::vector<rsid::detection>& found);

} // namespace rsid_python

#endif
