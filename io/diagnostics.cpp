// diagnostics.cpp - stderr that cannot fail, and names made safe to print.
#include "diagnostics.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace rsid_tool {

void tell_user(std::string_view line) noexcept {
    // stdio, not a formatting library that throws on a failed write; the error is dropped.
    (void)std::fwrite(line.data(), 1, line.size(), stderr);
    (void)std::fputc('\n', stderr);
    (void)std::fflush(stderr);
    std::clearerr(stderr);
}

void keep_standard_streams_open() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) { // open() takes the lowest free number: normally fd
            dup2(null, fd);
            close(null);
        }
    }
}

std::string printable(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    auto escape = [&out](unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = static_cast<unsigned char>(i + 1 < text.size() ? text[i + 1] : 0);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            escape(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) { // U+0080..U+009F
            escape(c);
            escape(next);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace rsid_tool
