// stream_source.h - inside the input path: the containers whose samples follow one header and
// can be read as they arrive (WAV, RF64, AU), and the raw decoder that reads those samples.
#ifndef RSID_TOOL_STREAM_SOURCE_H
#define RSID_TOOL_STREAM_SOURCE_H

#include "input/audio_input.h"
#include "input/byte_stream.h"

#include <cstdint>
#include <optional>
#include <string>

namespace rsid_tool {

// What a stream-friendly container's header says about its samples.
struct stream_layout {
    raw_format format;
    std::string description;            // e.g. "WAV, signed 16-bit PCM"
    std::optional<uint64_t> data_bytes; // empty: the samples run to the end of the input
    std::string warning;                // a header that lies, read anyway
    std::optional<start_time> start;    // a WAV file's bext chunk: when it was recorded
};

// Reads a WAV, RF64 or AU header from the stream's start and leaves the stream at the first
// sample. Returns nothing, with the stream back at its start, when the bytes are none of
// these or hold an encoding the raw decoder does not have (ADPCM, GSM, ...): libsndfile then
// gets them. Throws input_error for a header that is recognised but unusable.
//
// Data lengths that writers put into a header they cannot go back to (a pipe, a recording in
// progress) mean "until the end of the input": 0, 0xFFFFFFFF, 0x7FFFF000 and 0x80000000 on a
// stream, and on a file any of these that runs past the end of the file. A file whose header
// says 0 bytes but holds samples (a recorder killed before it wrote the length) is read to its
// end with a warning.
std::optional<stream_layout> read_stream_header(byte_stream& stream, const std::string& name);

// Samples in the stated format from the stream's position on; data_bytes bounds them, and
// input that ends before data_bytes is reported as truncated (after its frames). An empty
// description gives "raw <encoding> <byte order>"; warning goes to source_info::warning.
std::unique_ptr<audio_source> open_raw_stream(std::unique_ptr<byte_stream> stream,
                                              const std::string& name, const raw_format& format,
                                              std::string description = {},
                                              std::optional<uint64_t> data_bytes = {},
                                              std::string warning = {},
                                              std::optional<start_time> start = {});

} // namespace rsid_tool

#endif
