// sndfile_io.cpp - bytes in memory behind libsndfile's virtual I/O.
#include "sndfile_io.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace rsid_tool {

namespace {

memory_io& of(void* user) { return *static_cast<memory_io*>(user); }

} // namespace

sndfile_ptr memory_io::open(SF_INFO& info) {
    static SF_VIRTUAL_IO io = {length, seek, read, write, tell};
    pos_ = 0;
    return sndfile_ptr(sf_open_virtual(&io, SFM_READ, &info, this));
}

sf_count_t memory_io::length(void* user) { return static_cast<sf_count_t>(of(user).bytes_.size()); }

sf_count_t memory_io::seek(sf_count_t offset, int whence, void* user) {
    memory_io& m = of(user);
    const auto size = static_cast<sf_count_t>(m.bytes_.size());
    sf_count_t base = 0;
    if (whence == SEEK_CUR)
        base = m.pos_;
    else if (whence == SEEK_END)
        base = size;
    // Clamp before adding so that an offset near the sf_count_t limits cannot overflow.
    offset = std::clamp<sf_count_t>(offset, -size - 1, size + 1);
    m.pos_ = std::clamp<sf_count_t>(base + offset, 0, size);
    return m.pos_;
}

sf_count_t memory_io::read(void* ptr, sf_count_t count, void* user) {
    memory_io& m = of(user);
    const auto size = static_cast<sf_count_t>(m.bytes_.size());
    const sf_count_t n = std::clamp<sf_count_t>(count, 0, size - m.pos_);
    if (n > 0)
        std::memcpy(ptr, m.bytes_.data() + m.pos_, static_cast<std::size_t>(n));
    m.pos_ += n;
    return n;
}

sf_count_t memory_io::write(const void*, sf_count_t, void*) { return 0; } // read-only

sf_count_t memory_io::tell(void* user) { return of(user).pos_; }

} // namespace rsid_tool
