// send.h - the identifier as samples at any rate: the library's generator at 48000/s with
// silence before and after it, converted to the host's rate by the engine's resampler.
#ifndef RSID_ENGINE_SEND_H
#define RSID_ENGINE_SEND_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct rsid_transmitter;

namespace rsid {

// The library's generator armed with any code: blocks of 1920 samples at 48000/s, exactly as
// rsid_encode and rsid_get give them for 131.
class tone_generator {
  public:
    // Throws std::invalid_argument for a code outside 0..4095.
    tone_generator(int code, double freq_hz);
    ~tone_generator();
    tone_generator(const tone_generator&) = delete;
    tone_generator& operator=(const tone_generator&) = delete;

    // Writes the next 1920 samples; true while symbols remain after them.
    bool next(int16_t* block);

  private:
    std::unique_ptr<rsid_transmitter> tx_;
};

struct send_request {
    double freq_hz = 1500.0; // frequency of tone 0 [Hz]
    double rate = 48000.0;   // output samples/s, 1000 to 768000
    double lead_s = 0.0;     // silence before the identifier, 0 or more [s]
    double tail_s = 0.0;     // silence after it, 0 or more [s]
    int code = 131;          // identifier sent, 0 to 4095
};

// The most samples a request may make, at 48000/s and at its rate: the samples are held in
// memory (as doubles at both rates), so this bounds a call to about 600 MB. It allows
// lead + tail up to 697 s at 48000/s or below, 173 s at 192000/s.
inline constexpr std::size_t max_send_samples = std::size_t{1} << 25;

// Throws std::invalid_argument, with a message naming the value, unless the request can be
// sent: a code from 0 to 4095, a positive frequency whose 15 tones fit below half of both
// 48000/s and the rate, and a lead and tail of 0 s or more within max_send_samples.
void check_send(const send_request& request);

// The samples on the 16-bit scale (peak 20000). At 48000/s they are the generator's integers
// unchanged (for a code other than 131, the generator armed with that code's codeword); at any
// other rate the same stream through the resampler, so an identifier placed lead_s into the output
// starts there at every rate. The length is round(duration * rate) with duration = lead + 1.3925 s
// + tail (lead and tail first rounded to whole samples at 48000/s).
std::vector<double> send_samples(const send_request& request);

// The same, rounded to the nearest integer and clamped to int16.
std::vector<int16_t> send_int16(const send_request& request);

} // namespace rsid

#endif
