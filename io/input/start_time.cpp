// start_time.cpp - ISO 8601 and bext dates into points of the system clock.
#include "input/start_time.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace rsid_tool {

namespace {

using time_point = std::chrono::system_clock::time_point;

// Reads exactly n decimal digits at text[at], advancing at.
std::optional<int> digits(std::string_view text, std::size_t& at, std::size_t n) {
    if (at + n > text.size())
        return std::nullopt;
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[at + i];
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    at += n;
    return v;
}

// A calendar date and time of day, each field within its range (seconds up to 60: a leap
// second, which the system clock folds into the next). Years are those the system clock's
// nanoseconds can hold with room to spare (it ends in 2262).
struct civil {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::chrono::nanoseconds fraction{0};
};

bool valid(const civil& c) {
    using namespace std::chrono;
    const year_month_day ymd{year{c.year}, month{static_cast<unsigned>(c.month)},
                             day{static_cast<unsigned>(c.day)}};
    return c.year >= 1900 && c.year <= 2200 && ymd.ok() && c.hour <= 23 && c.minute <= 59 &&
           c.second <= 60;
}

// UTC when offset is given (minutes east of Greenwich), else local time (mktime, TZ).
std::optional<time_point> to_time_point(const civil& c, std::optional<int> offset_min) {
    using namespace std::chrono;
    if (!valid(c))
        return std::nullopt;
    if (offset_min) {
        const sys_days days{year_month_day{year{c.year}, month{static_cast<unsigned>(c.month)},
                                           day{static_cast<unsigned>(c.day)}}};
        return time_point(duration_cast<system_clock::duration>(
            days.time_since_epoch() + hours{c.hour} + minutes{c.minute - *offset_min} +
            seconds{c.second} + c.fraction));
    }
    std::tm tm{};
    tm.tm_year = c.year - 1900;
    tm.tm_mon = c.month - 1;
    tm.tm_mday = c.day;
    tm.tm_hour = c.hour;
    tm.tm_min = c.minute;
    tm.tm_sec = c.second;
    tm.tm_isdst = -1; // the zone's rule for that date decides summer time
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        return std::nullopt;
    return system_clock::from_time_t(t) + duration_cast<system_clock::duration>(c.fraction);
}

} // namespace

std::optional<time_point> parse_iso8601(std::string_view text) {
    civil c;
    std::size_t at = 0;
    const auto expect = [&](char ch) {
        if (at < text.size() && text[at] == ch) {
            ++at;
            return true;
        }
        return false;
    };
    const auto year = digits(text, at, 4);
    if (!year || !expect('-'))
        return std::nullopt;
    const auto month = digits(text, at, 2);
    if (!month || !expect('-'))
        return std::nullopt;
    const auto day = digits(text, at, 2);
    if (!day || !(expect('T') || expect('t') || expect(' ')))
        return std::nullopt;
    const auto hour = digits(text, at, 2);
    if (!hour || !expect(':'))
        return std::nullopt;
    const auto minute = digits(text, at, 2);
    if (!minute)
        return std::nullopt;
    c.year = *year;
    c.month = *month;
    c.day = *day;
    c.hour = *hour;
    c.minute = *minute;
    if (expect(':')) {
        const auto second = digits(text, at, 2);
        if (!second)
            return std::nullopt;
        c.second = *second;
        if (expect('.') || expect(',')) {
            long long scale = 1000000000;
            std::size_t n = 0;
            while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
                scale /= 10;
                if (scale > 0)
                    c.fraction += std::chrono::nanoseconds((text[at] - '0') * scale);
                ++at;
                ++n;
            }
            if (n == 0)
                return std::nullopt;
        }
    }
    std::optional<int> offset;
    if (expect('Z') || expect('z')) {
        offset = 0;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at++] == '-' ? -1 : 1;
        const auto oh = digits(text, at, 2);
        if (!oh || *oh > 23)
            return std::nullopt;
        int om = 0;
        if (at < text.size()) {
            expect(':');
            const auto m = digits(text, at, 2);
            if (!m || *m > 59)
                return std::nullopt;
            om = *m;
        }
        offset = sign * (*oh * 60 + om);
    }
    if (at != text.size())
        return std::nullopt;
    return to_time_point(c, offset);
}

std::optional<time_point> parse_bext_time(std::string_view date, std::string_view time) {
    // Fixed fields, padded with NULs or spaces when unset.
    if (date.size() < 10 || time.size() < 8)
        return std::nullopt;
    civil c;
    std::size_t at = 0;
    const auto field = [&](std::string_view text, std::size_t& pos, std::size_t n, int& out) {
        const auto v = digits(text, pos, n);
        if (!v)
            return false;
        out = *v;
        ++pos; // the separator, whatever it is
        return true;
    };
    if (!field(date, at, 4, c.year) || !field(date, at, 2, c.month) || !field(date, at, 2, c.day))
        return std::nullopt;
    at = 0;
    if (!field(time, at, 2, c.hour) || !field(time, at, 2, c.minute) ||
        !field(time, at, 2, c.second))
        return std::nullopt;
    return to_time_point(c, std::nullopt);
}

time_point after(const start_time& start, double offset_s) {
    return start.utc + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                           std::chrono::duration<double>(offset_s));
}

arrival_clock::arrival_clock(double rate) : rate_(rate) {}

void arrival_clock::read(uint64_t frames_read, std::chrono::steady_clock::time_point when) {
    // Never before the last stamp, nor before the clock was made: a reader that starts first
    // may stamp its first chunk earlier, and the frames after it would then be dated before the
    // first chunk's, which is dated from the start.
    when = std::max(when, chunks_.empty() ? dropped_ : chunks_.back().when);
    chunks_.push_back({frames_read, when});
    // A minute of the stream is far more than any report lags behind the reading.
    const auto keep = static_cast<uint64_t>(60.0 * rate_);
    while (chunks_.size() > 2 && chunks_[1].end + keep < frames_read) {
        dropped_ = chunks_.front().when;
        chunks_.pop_front();
    }
}

time_point arrival_clock::at(int64_t frame) const {
    std::chrono::steady_clock::time_point t = dropped_;
    if (!chunks_.empty()) {
        const auto f = static_cast<uint64_t>(std::max<int64_t>(frame, 0));
        const auto in = std::upper_bound(chunks_.begin(), chunks_.end(), f,
                                         [](uint64_t x, const chunk& c) { return x < c.end; });
        if (in == chunks_.end()) {
            t = chunks_.back().when;
        } else {
            const auto earliest = in == chunks_.begin() ? dropped_ : std::prev(in)->when;
            const auto before = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(static_cast<double>(in->end - f) / rate_));
            t = std::max(earliest, in->when - before);
        }
    }
    return origin_utc_ +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(t - origin_);
}

} // namespace rsid_tool
