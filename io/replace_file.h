// replace_file.h - writing a file whole or not at all, for every file a host writes (SigMF
// metadata, pictures, sound files). The bytes go to a new temporary file beside the target, made
// with mkstemp (so never an existing file, nor one a planted symbolic link points to), which is
// renamed over the target only once it is complete and closed. A failure, or destruction before
// commit(), removes the temporary file and leaves the target as it was.
//
// What the target was, it stays: a symbolic link stays a link, and the file it resolves to is
// replaced (the temporary file is made beside that file); an existing file keeps its mode; a
// file that no one may write to is refused, even for root. A target that exists but is not a
// regular file (a FIFO, a device such as /dev/stdout) is written in place, as a stream.
#ifndef RSID_TOOL_REPLACE_FILE_H
#define RSID_TOOL_REPLACE_FILE_H

#include <cstddef>
#include <string>

namespace rsid_tool {

class replace_file {
  public:
    // Throws output_error naming path.
    explicit replace_file(const std::string& path);
    ~replace_file();
    replace_file(const replace_file&) = delete;
    replace_file& operator=(const replace_file&) = delete;

    // Throws output_error with the system's reason (disk full, file too large, ...).
    void write(const void* bytes, std::size_t n);
    // Closes the file and puts it in place. Nothing is visible at the target before this.
    void commit();
    // The open file, for writers that write, seek and read back through a descriptor of their
    // own (libsndfile's virtual I/O); commit() still closes it.
    int descriptor() const { return fd_; }

  private:
    [[noreturn]] void fail(const std::string& what, int error);
    std::string name_;      // the path as given, for messages
    std::string target_;    // the file that is replaced (a link resolved)
    std::string temporary_; // beside target_, until renamed
    int fd_ = -1;
};

} // namespace rsid_tool

#endif
