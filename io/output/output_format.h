// output_format.h - what `rsid send` writes: the container and sample format from the command
// line, the container that can hold the whole output (decided before a byte is written), and
// the header of a WAV or AU stream whose length is not known when it starts.
#ifndef RSID_TOOL_OUTPUT_FORMAT_H
#define RSID_TOOL_OUTPUT_FORMAT_H

#include <cstdint>
#include <optional>
#include <string>

namespace rsid_tool {

// The libsndfile major format for -t, or from the output's file name when -t is not given.
// Throws usage_error.
int container_format(std::string type, const std::string& output);

// The container a file name's extension names ("x.wav" -> SF_FORMAT_WAV), if any.
std::optional<int> container_of_name(const std::string& output);

// The full libsndfile format (major | sub | endian) for -e and -b (encoding, bits; unset: the
// defaults) in a container at a rate, checked with sf_format_check. Throws usage_error.
int full_format(const std::optional<std::string>& encoding, std::optional<int> bits, int rate,
                int major);

// Bytes per mono frame of a full format's samples (1 to 8).
int sample_bytes(int format);

// Largest data section a container with 32-bit lengths (WAV, AIFF, AU) can describe, leaving
// room for its header: beyond it the length would wrap.
inline constexpr uint64_t max_32bit_data = 0xFFFFFFFFu - (1u << 16);

// The format to write `data_bytes` of samples in: a WAV file that would pass the 32-bit limit
// becomes RF64 (same samples, 64-bit lengths); AIFF and AU files that would pass it are
// refused with usage_error. A stream (stdout, a pipe) gets a header that leaves the length
// open, so its size does not matter.
int sized_format(int format, uint64_t data_bytes, bool stream);

// The header of a WAV (or AU) stream of mono samples in `format` at `rate`, with the lengths
// that streaming writers leave open (0xFFFFFFFF): the samples follow, little-endian for WAV
// and big-endian for AU, to the end of the stream. Empty for other containers.
std::string streamed_header(int format, int rate);

} // namespace rsid_tool

#endif
