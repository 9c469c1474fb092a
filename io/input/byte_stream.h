// byte_stream.h - where the input path gets its bytes: a file, a pipe (or FIFO, terminal,
// socket) or memory, behind one interface that the container parsers, the raw decoder and
// libsndfile's virtual I/O all read through.
//
// Pipes are read as the bytes arrive, with bounded memory: a stream keeps what it has read in a
// window (everything up to rewind_limit, then only the most recent bytes), so a decoder may seek
// back within the header it has just read but never makes the tool hold the stream. Reads wait
// in poll() with a short timeout, so that a stop request (SIGINT, SIGTERM) is seen within a
// fraction of a second even when the writer sends nothing.
#ifndef RSID_TOOL_BYTE_STREAM_H
#define RSID_TOOL_BYTE_STREAM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace rsid_tool {

class byte_stream {
  public:
    virtual ~byte_stream() = default;

    // Copies up to n bytes from the current position to dst and advances; returns 0 only at
    // the end of the input (or of what can be read there), or once a stop was requested.
    // Throws input_error on a read error.
    virtual std::size_t read(unsigned char* dst, std::size_t n) = 0;
    // Moves to an absolute position; false when the stream cannot go there (a pipe, behind its
    // window). A position past the end is allowed; reads there return 0.
    virtual bool seek(uint64_t pos) = 0;
    virtual uint64_t tell() const = 0;
    // Total bytes, when known: a file or memory, or a pipe that has ended.
    virtual std::optional<uint64_t> length() const = 0;
    // A pipe, FIFO, terminal or socket rather than a file or memory.
    virtual bool live() const = 0;

    // Reads until n bytes or the end; returns the count.
    std::size_t read_fully(unsigned char* dst, std::size_t n);
    // Moves forward n bytes (reading and dropping them where it cannot seek); returns false
    // when the input ends first.
    bool skip(uint64_t n);
};

// Bytes kept for seeking back on a pipe: enough for any header libsndfile or the WAV parser
// looks back into, small enough to bound the memory of an endless stream.
inline constexpr std::size_t rewind_limit = 1 << 20;

// A host's own stop request, for hosts that do not stop through stop_requested (Python's Ctrl-C
// is seen by calling into the interpreter). Asked whenever a read of a pipe has waited 200 ms
// for bytes; once it says true, the stream ends as it does on a stop request.
using stop_check = std::function<bool()>;

// The descriptor is closed on destruction when owned. name is for messages.
std::unique_ptr<byte_stream> fd_stream(int fd, bool owned, const std::string& name,
                                       stop_check stop = {});
// The bytes must outlive the stream.
std::unique_ptr<byte_stream> memory_stream(std::span<const unsigned char> bytes);
// Opens a path for reading without waiting for a FIFO's writer, so that the only wait for
// bytes is the reader's poll(), which sees a stop request. Throws input_error naming the path.
int open_input_fd(const std::string& path);
// open_input_fd as a stream; a directory is refused.
std::unique_ptr<byte_stream> open_path_stream(const std::string& path, stop_check stop = {});

} // namespace rsid_tool

#endif
