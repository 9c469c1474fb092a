// sound_writer.h - the output side of `rsid send`: samples of the generator (48000/s, 16-bit
// scale) in, an audio file or stream out. The rate is converted by the tool's resampler when
// the output's differs; containers and encodings are libsndfile's.
#ifndef RSID_TOOL_SOUND_WRITER_H
#define RSID_TOOL_SOUND_WRITER_H

#include "resampler.h" // engine/
#include "sndfile_io.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace rsid_tool {

class sound_writer {
  public:
    // path "-" is stdout. format is a full libsndfile format (major | sub | endian), already
    // checked with sf_format_check. Throws output_error.
    sound_writer(const std::string& path, int format, int rate);
    ~sound_writer();
    sound_writer(const sound_writer&) = delete;
    sound_writer& operator=(const sound_writer&) = delete;

    // n samples at 48000/s on the 16-bit scale.
    void write(const double* samples, std::size_t n);
    void silence(uint64_t n);
    // Flushes the resampler and finishes the container. Nothing is complete before this.
    void finish();

  private:
    void put(const double* samples, std::size_t n);
    std::string name_;
    std::FILE* spool_ = nullptr; // stdout of a container that seeks: written here, then copied
    sndfile_ptr file_;
    std::unique_ptr<rsid::resampler> resampler_;
    std::vector<double> resampled_;
    std::vector<int> ints_;
    std::vector<double> doubles_;
    bool float_ = false; // float or double samples in the file
};

} // namespace rsid_tool

#endif
