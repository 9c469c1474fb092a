// sound_writer.h - the output side of `rsid send`: samples of the generator (48000/s, 16-bit
// scale) in, an audio file or stream out. The rate is converted by the tool's resampler when
// the output's differs; containers and encodings are libsndfile's.
//
// A file is written through replace_file (replace_file.h): to a temporary file beside it,
// renamed over the target only when it is complete, so a failed write (disk full, file size limit,
// a signal) never leaves a file that looks whole. Stdout and anything that is not a regular file (a
// FIFO, a device) is a stream: WAV and AU go out as they are made, behind a header that leaves the
// length open; raw samples need no header; other containers seek back into their header and are
// assembled in an anonymous temporary file first.
#ifndef RSID_TOOL_SOUND_WRITER_H
#define RSID_TOOL_SOUND_WRITER_H

#include "input/sndfile_io.h"
#include "replace_file.h"
#include "resampler.h" // engine/

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rsid_tool {

// Where libsndfile's bytes go: a descriptor, with every write error kept for the message.
struct output_sink {
    int fd = -1;
    bool seekable = false;
    int64_t written = 0; // bytes written (the position, when the descriptor cannot seek)
    bool live = false;   // a pipe, FIFO, socket or device: writes wait in poll()
    int error = 0;       // errno of the first failed write
};

class sound_writer {
  public:
    // path "-" is stdout. format is a full libsndfile format (major | sub | endian), already
    // checked with sf_format_check; frames is about how many frames will be written, from
    // which a WAV file too large for 32-bit lengths becomes RF64 (and AIFF or AU is refused
    // with usage_error). Throws output_error.
    sound_writer(const std::string& path, int format, int rate, uint64_t frames);
    ~sound_writer();
    sound_writer(const sound_writer&) = delete;
    sound_writer& operator=(const sound_writer&) = delete;

    // n samples at 48000/s on the 16-bit scale.
    void write(const double* samples, std::size_t n);
    void silence(uint64_t n);
    // Flushes the resampler, finishes the container and puts the file in place. Nothing is
    // complete before this.
    void finish();

  private:
    void put(const double* samples, std::size_t n);
    [[noreturn]] void fail(int error);
    std::string name_;
    std::optional<replace_file> target_; // a regular file: written beside it, then renamed
    std::FILE* spool_ = nullptr;         // a container that seeks, on a stream: assembled here
    int out_fd_ = -1;                    // where a stream goes
    bool out_live_ = false;              // out_fd_ is a pipe, FIFO, socket or device
    bool own_out_fd_ = false;
    output_sink sink_;
    sndfile_ptr file_;
    std::unique_ptr<rsid::resampler> resampler_;
    std::vector<double> resampled_;
    std::vector<int> ints_;
    std::vector<double> doubles_;
    bool float_ = false; // float or double samples in the file
};

} // namespace rsid_tool

#endif
