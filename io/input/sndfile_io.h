// sndfile_io.h - the tool's libsndfile plumbing: an owning handle, and one virtual I/O that
// lets libsndfile read from any byte_stream (a file, a pipe as it arrives, or memory).
#ifndef RSID_TOOL_SNDFILE_IO_H
#define RSID_TOOL_SNDFILE_IO_H

#include "input/byte_stream.h"

#include <sndfile.h>

#include <memory>
#include <string>

namespace rsid_tool {

struct sndfile_closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using sndfile_ptr = std::unique_ptr<SNDFILE, sndfile_closer>;

// libsndfile reading through a byte_stream. A pipe's length is unknown until it ends, so it is
// given as SF_COUNT_MAX: a decoder that probes the end of the file finds nothing there and
// carries on from the start (Ogg does this to learn its length). The stream must outlive this
// object, and this object every SNDFILE opened on it.
class stream_io {
  public:
    explicit stream_io(byte_stream& stream) : stream_(stream) {}
    stream_io(const stream_io&) = delete;
    stream_io& operator=(const stream_io&) = delete;

    // sf_open_virtual from the stream's start; null when libsndfile refuses the bytes (then
    // open_error() says why in the tool's words).
    sndfile_ptr open(SF_INFO& info);

  private:
    static sf_count_t length(void* user);
    static sf_count_t seek(sf_count_t offset, int whence, void* user);
    static sf_count_t read(void* ptr, sf_count_t count, void* user);
    static sf_count_t write(const void* ptr, sf_count_t count, void* user);
    static sf_count_t tell(void* user);

    byte_stream& stream_;
};

// False when the stream is Ogg Vorbis whose three header packets cannot all be read (a file
// cut short in them, damaged ones). libsndfile leaks the decoder's setup (about 6 KB) when it
// fails to open such a stream, so the tool refuses it before libsndfile sees it. True for
// anything else, and for headers too long to read back from a pipe (libsndfile decides).
// Leaves the stream at its start.
bool vorbis_headers_readable(byte_stream& stream);

// Why libsndfile refused to open or read something, in the tool's words: "name: what". Its own
// wordings for system errors and internal states ("This is a bug in libsndfile") become a
// plain statement about the file.
std::string sndfile_error(SNDFILE* f, const std::string& name);

} // namespace rsid_tool

#endif
