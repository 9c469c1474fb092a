// frame_buffer.h - whole frames out of a byte source that may return any number of bytes: what
// the readers of raw samples (raw_input.cpp) and raw I/Q (iq_input.cpp) share.
//
// A read gathers bytes until at least one whole frame is there (or the source ends), hands the
// whole frames to the decoder, and keeps the bytes of a frame split across reads for the next
// one; a live pipe is thus decoded as it arrives, and memory stays at one read's frames.
#ifndef RSID_TOOL_FRAME_BUFFER_H
#define RSID_TOOL_FRAME_BUFFER_H

#include <cstddef>
#include <cstring>
#include <vector>

namespace rsid_tool {

class frame_buffer {
  public:
    explicit frame_buffer(std::size_t frame_bytes) : frame_bytes_(frame_bytes) {}

    // Up to `frames` whole frames: fetch(dst, max) copies up to max bytes to dst and returns
    // how many, 0 only at the end of the input; decode(bytes, n) takes n whole frames. Returns
    // n, or 0 at the end of the input (a partial frame is then dropped).
    template <class Fetch, class Decode>
    std::size_t read(std::size_t frames, Fetch&& fetch, Decode&& decode) {
        if (frames == 0)
            return 0;
        const std::size_t want = frames * frame_bytes_;
        if (buffer_.size() < want)
            buffer_.resize(want);
        while (have_ < frame_bytes_) {
            const std::size_t got = fetch(buffer_.data() + have_, want - have_);
            if (got == 0)
                return 0;
            have_ += got;
        }
        const std::size_t n = have_ / frame_bytes_;
        decode(buffer_.data(), n);
        const std::size_t used = n * frame_bytes_;
        std::memmove(buffer_.data(), buffer_.data() + used, have_ - used);
        have_ -= used;
        return n;
    }

  private:
    std::size_t frame_bytes_;
    std::vector<unsigned char> buffer_;
    std::size_t have_ = 0; // bytes in buffer_ not yet decoded
};

} // namespace rsid_tool

#endif
