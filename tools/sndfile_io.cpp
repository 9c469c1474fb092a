// sndfile_io.cpp - libsndfile's virtual I/O over the tool's byte streams.
#include "sndfile_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace rsid_tool {

namespace {

byte_stream& of(void* user) { return *static_cast<byte_stream*>(user); }

} // namespace

sndfile_ptr stream_io::open(SF_INFO& info) {
    static SF_VIRTUAL_IO io = {length, seek, read, write, tell};
    if (!stream_.seek(0))
        return nullptr;
    return sndfile_ptr(sf_open_virtual(&io, SFM_READ, &info, &stream_));
}

sf_count_t stream_io::length(void* user) {
    const std::optional<uint64_t> n = of(user).length();
    return n ? static_cast<sf_count_t>(std::min<uint64_t>(*n, SF_COUNT_MAX)) : SF_COUNT_MAX;
}

sf_count_t stream_io::seek(sf_count_t offset, int whence, void* user) {
    byte_stream& s = of(user);
    sf_count_t base = 0;
    if (whence == SEEK_CUR) {
        base = static_cast<sf_count_t>(s.tell());
    } else if (whence == SEEK_END) {
        const std::optional<uint64_t> n = s.length();
        if (!n)
            return -1;
        base = static_cast<sf_count_t>(*n);
    }
    // Clamp so that an offset near the sf_count_t limits cannot overflow; positions past the
    // end are allowed (reads there return nothing) and negative ones are not.
    offset = std::clamp<sf_count_t>(offset, -base, SF_COUNT_MAX / 2);
    if (!s.seek(static_cast<uint64_t>(base + offset)))
        return -1;
    return base + offset;
}

sf_count_t stream_io::read(void* ptr, sf_count_t count, void* user) {
    if (count <= 0)
        return 0;
    return static_cast<sf_count_t>(
        of(user).read_fully(static_cast<unsigned char*>(ptr), static_cast<std::size_t>(count)));
}

sf_count_t stream_io::write(const void* /*ptr*/, sf_count_t /*count*/, void* /*user*/) {
    return 0; // read-only
}

sf_count_t stream_io::tell(void* user) { return static_cast<sf_count_t>(of(user).tell()); }

std::string sndfile_error(SNDFILE* f, const std::string& name) {
    switch (sf_error(f)) {
    case SF_ERR_UNRECOGNISED_FORMAT:
        return name + ": not a sound file the tool can read (unknown format; raw samples need "
                      "-t raw)";
    case SF_ERR_SYSTEM:
        return name + ": cannot be read" + (errno ? std::string(": ") + std::strerror(errno) : "");
    case SF_ERR_MALFORMED_FILE:
        return name + ": malformed or damaged sound file";
    case SF_ERR_UNSUPPORTED_ENCODING:
        return name + ": the sound file's encoding is not supported";
    default:
        break;
    }
    const std::string what = sf_strerror(f);
    if (what.find("bug") != std::string::npos || what.find("System error") != std::string::npos ||
        what.empty())
        return name + ": malformed or damaged sound file";
    return name + ": " + what;
}

} // namespace rsid_tool
