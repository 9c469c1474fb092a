// sndfile_io.cpp - libsndfile's virtual I/O over the tool's byte streams.
#include "input/sndfile_io.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace rsid_tool {

namespace {

byte_stream& of(void* user) { return *static_cast<byte_stream*>(user); }

// An Ogg page whose first packet is a Vorbis identification header ("OggS", the page header's 27
// bytes and its segment table, then "\x01vorbis") within the first 4 KiB: at the start, or after
// bytes that libsndfile skips on its way to it.
bool starts_ogg_vorbis(byte_stream& s) {
    std::array<unsigned char, 4096> head{};
    const std::size_t n = s.seek(0) ? s.read_fully(head.data(), head.size()) : 0;
    for (std::size_t at = 0; at + 27 <= n; ++at) {
        if (std::memcmp(head.data() + at, "OggS", 4) != 0)
            continue;
        const std::size_t packet = at + 27 + head[at + 26];
        if (packet + 7 <= n && std::memcmp(head.data() + packet, "\x01vorbis", 7) == 0)
            return true;
    }
    return false;
}

// libogg's and libvorbis's header state, cleared however the check ends.
struct vorbis_headers {
    ogg_sync_state sync{};
    ogg_stream_state stream{};
    bool stream_started = false;
    vorbis_info info{};
    vorbis_comment comment{};
    int count = 0; // header packets read
    vorbis_headers() {
        ogg_sync_init(&sync);
        vorbis_info_init(&info);
        vorbis_comment_init(&comment);
    }
    ~vorbis_headers() {
        vorbis_comment_clear(&comment);
        vorbis_info_clear(&info);
        if (stream_started)
            ogg_stream_clear(&stream);
        ogg_sync_clear(&sync);
    }
    vorbis_headers(const vorbis_headers&) = delete;
    vorbis_headers& operator=(const vorbis_headers&) = delete;

    // Takes the packets of one page of the first logical stream; false on a bad header.
    bool take(ogg_page& page) {
        if (!stream_started) {
            ogg_stream_init(&stream, ogg_page_serialno(&page));
            stream_started = true;
        }
        if (ogg_page_serialno(&page) != stream.serialno || ogg_stream_pagein(&stream, &page) != 0)
            return true; // another stream's page
        ogg_packet packet;
        while (count < 3) {
            const int got = ogg_stream_packetout(&stream, &packet);
            if (got == 0)
                return true;
            if (got < 0 || vorbis_synthesis_headerin(&info, &comment, &packet) != 0)
                return false;
            ++count;
        }
        return true;
    }
};

} // namespace

sndfile_ptr stream_io::open(SF_INFO& info) {
    static SF_VIRTUAL_IO io = {length, seek, read, write, tell};
    if (!stream_.seek(0))
        return nullptr;
    return sndfile_ptr(sf_open_virtual(&io, SFM_READ, &info, &stream_));
}

bool vorbis_headers_readable(byte_stream& s) {
    if (!starts_ogg_vorbis(s)) {
        s.seek(0);
        return true;
    }
    s.seek(0);
    vorbis_headers h;
    uint64_t taken = 0;
    bool good = true;
    while (good && h.count < 3) {
        ogg_page page;
        const int got = ogg_sync_pageout(&h.sync, &page);
        if (got > 0) {
            good = h.take(page);
            continue;
        }
        if (got < 0)
            continue; // bytes between pages, skipped as libsndfile skips them
        constexpr std::size_t chunk = 4096;
        if (s.live() && taken + chunk > rewind_limit)
            break; // no way back to the start past this: libsndfile decides
        char* buffer = ogg_sync_buffer(&h.sync, chunk);
        const std::size_t n =
            buffer ? s.read_fully(reinterpret_cast<unsigned char*>(buffer), chunk) : 0;
        if (n == 0) {
            good = false; // the stream ends inside its headers
            break;
        }
        ogg_sync_wrote(&h.sync, static_cast<long>(n));
        taken += n;
    }
    s.seek(0);
    return good;
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
