// sndfile_io.h - the tool's libsndfile plumbing: an owning handle, and bytes in memory read
// through libsndfile's virtual I/O (for the fuzzer, the tests and anything already in memory).
#ifndef RSID_TOOL_SNDFILE_IO_H
#define RSID_TOOL_SNDFILE_IO_H

#include <sndfile.h>

#include <memory>
#include <span>

namespace rsid_tool {

struct sndfile_closer {
    void operator()(SNDFILE* f) const { sf_close(f); }
};
using sndfile_ptr = std::unique_ptr<SNDFILE, sndfile_closer>;

// Read-only bytes behind SF_VIRTUAL_IO. Reads past the end return short counts and seeks are
// clamped to the buffer, so a header that points anywhere stays harmless. The bytes must
// outlive this object, and this object every SNDFILE opened on it.
class memory_io {
  public:
    explicit memory_io(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    memory_io(const memory_io&) = delete;
    memory_io& operator=(const memory_io&) = delete;

    // sf_open_virtual on these bytes; null (with sf_strerror(nullptr) set) when they are not
    // a sound file libsndfile knows.
    sndfile_ptr open(SF_INFO& info);

  private:
    static sf_count_t length(void* user);
    static sf_count_t seek(sf_count_t offset, int whence, void* user);
    static sf_count_t read(void* ptr, sf_count_t count, void* user);
    static sf_count_t write(const void* ptr, sf_count_t count, void* user);
    static sf_count_t tell(void* user);

    std::span<const unsigned char> bytes_;
    sf_count_t pos_ = 0;
};

} // namespace rsid_tool

#endif
