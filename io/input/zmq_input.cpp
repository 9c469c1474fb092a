// zmq_input.cpp - a band received with libzmq: the URL, the socket, GNU Radio's tag header.
#include "input/zmq_input.h"

#include "scanner.h" // engine/: max_center_hz

#include <fmt/core.h>
#include <zmq.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace rsid_tool {

namespace {

constexpr int receive_hwm = 16;          // messages queued per connection
constexpr int64_t max_message = 8 << 20; // bytes; larger messages drop the connection
constexpr int poll_ms = 200;             // longest wait before stopping() is asked again
constexpr uint16_t tag_magic = 0x5FF0;   // GNU Radio's tag header
constexpr uint8_t tag_version = 1;
constexpr std::size_t tag_fixed = 2 + 1 + 8 + 8; // magic, version, offset, tag count [bytes]
constexpr int max_pmt_depth = 8;                 // nesting accepted inside one tag

double number(const std::string& url, const std::string& key, const std::string& text) {
    std::size_t used = 0;
    double v = 0.0;
    try {
        v = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || !std::isfinite(v))
        throw input_error(url + ": " + key + "= takes a number, not \"" + text + "\"");
    return v;
}

// A cursor over a serialised PMT (GNU Radio's pmt::serialize): a type byte, then big-endian
// fields. Numbers are read; everything else is only stepped over.
class pmt_reader {
  public:
    explicit pmt_reader(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    std::size_t pos() const { return pos_; }
    void seek(std::size_t pos) { pos_ = pos; }

    bool take(std::size_t n, uint64_t& big_endian) {
        if (bytes_.size() - pos_ < n)
            return false;
        big_endian = 0;
        for (std::size_t i = 0; i < n; ++i)
            big_endian = big_endian << 8 | bytes_[pos_++];
        return true;
    }
    bool skip(std::size_t n) {
        if (bytes_.size() - pos_ < n)
            return false;
        pos_ += n;
        return true;
    }

    // A symbol's text.
    bool symbol(std::string& out) {
        uint64_t type = 0;
        uint64_t n = 0;
        if (!take(1, type) || type != 0x02 || !take(2, n) || bytes_.size() - pos_ < n)
            return false;
        out.assign(reinterpret_cast<const char*>(bytes_.data() + pos_), n);
        pos_ += n;
        return true;
    }

    // Any value; `value` is set for the numeric ones. Containers recurse, to max_pmt_depth.
    // NOLINTNEXTLINE(misc-no-recursion): bounded by max_pmt_depth
    bool any(std::optional<double>& value, int depth = 0) {
        uint64_t type = 0;
        uint64_t u = 0;
        if (depth > max_pmt_depth || !take(1, type))
            return false;
        value.reset();
        std::optional<double> ignored;
        switch (type) {
        case 0x00: // true
        case 0x01: // false
        case 0x06: // null
            return true;
        case 0x02: // symbol: 16-bit length, text
            return take(2, u) && skip(u);
        case 0x03: // 32-bit integer
            if (!take(4, u))
                return false;
            value = static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(u)));
            return true;
        case 0x04: // double
            if (!take(8, u))
                return false;
            value = std::bit_cast<double>(u);
            return true;
        case 0x05: // complex: two doubles
            return skip(16);
        case 0x07: // pair
            return any(ignored, depth + 1) && any(ignored, depth + 1);
        case 0x08: // vector
        case 0x0c: // tuple: 32-bit count, elements
            if (!take(4, u))
                return false;
            for (uint64_t i = 0; i < u; ++i)
                if (!any(ignored, depth + 1))
                    return false;
            return true;
        case 0x09: // dictionary: pairs until null
            for (;;) {
                if (pos_ >= bytes_.size())
                    return false;
                if (bytes_[pos_] == 0x06)
                    return skip(1);
                if (!any(ignored, depth + 1))
                    return false;
            }
        case 0x0a: { // uniform vector: element type, 32-bit count, pad count, pad, elements
            uint64_t element = 0;
            uint64_t count = 0;
            uint64_t pad = 0;
            static constexpr std::size_t widths[] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 8, 16};
            if (!take(1, element) || element >= std::size(widths) || !take(4, count) ||
                !take(1, pad) || !skip(pad))
                return false;
            return count <= bytes_.size() && skip(count * widths[element]);
        }
        case 0x0b: // unsigned 64-bit
            if (!take(8, u))
                return false;
            value = static_cast<double>(u);
            return true;
        case 0x0d: // signed 64-bit
            if (!take(8, u))
                return false;
            value = static_cast<double>(static_cast<int64_t>(u));
            return true;
        default:
            return false;
        }
    }

  private:
    std::span<const unsigned char> bytes_;
    std::size_t pos_ = 0;
};

uint64_t host_u64(const unsigned char* p) {
    uint64_t v = 0;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

} // namespace

// Items could begin with the magic by chance, so a header counts only when all of it parses and
// whole items follow it.
zmq_tags read_zmq_tags(std::span<const unsigned char> message, std::size_t item_bytes) {
    zmq_tags none;
    uint16_t magic = 0;
    if (item_bytes == 0 || message.size() < tag_fixed)
        return none;
    std::memcpy(&magic, message.data(), sizeof(magic));
    if (magic != tag_magic || message[2] != tag_version)
        return none;
    const uint64_t count = host_u64(message.data() + 11);
    if (count > message.size())
        return none;
    pmt_reader r(message);
    r.seek(tag_fixed);
    zmq_tags found;
    found.offset = host_u64(message.data() + 3);
    for (uint64_t i = 0; i < count; ++i) {
        const std::size_t at = r.pos();
        std::string key;
        std::optional<double> value;
        std::optional<double> ignored;
        if (!r.skip(8) || !r.symbol(key) || !r.any(value) || !r.any(ignored))
            return none;
        const uint64_t offset = host_u64(message.data() + at);
        if (key == "rx_rate" && value)
            found.tags.push_back({offset, value, std::nullopt});
        else if (key == "rx_freq" && value)
            found.tags.push_back({offset, std::nullopt, value});
    }
    if ((message.size() - r.pos()) % item_bytes != 0)
        return none;
    found.header = r.pos();
    return found;
}

namespace {

// One SUB or PULL socket and its context: the only user of libzmq.
class zmq_link {
  public:
    zmq_link(const std::string& url, const zmq_address& a) : context_(zmq_ctx_new()) {
        if (context_ == nullptr)
            throw input_error(url + ": " + zmq_strerror(errno));
        socket_ = zmq_socket(context_, a.pull ? ZMQ_PULL : ZMQ_SUB);
        const int hwm = receive_hwm;
        const int linger = 0;
        const int64_t largest = max_message;
        if (socket_ == nullptr || zmq_setsockopt(socket_, ZMQ_RCVHWM, &hwm, sizeof(hwm)) != 0 ||
            zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof(linger)) != 0 ||
            zmq_setsockopt(socket_, ZMQ_MAXMSGSIZE, &largest, sizeof(largest)) != 0 ||
            (!a.pull && zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, "", 0) != 0) ||
            zmq_connect(socket_, a.endpoint.c_str()) != 0) {
            const std::string why = zmq_strerror(errno);
            close();
            throw input_error(url + ": " + why);
        }
    }
    ~zmq_link() { close(); }
    zmq_link(const zmq_link&) = delete;
    zmq_link& operator=(const zmq_link&) = delete;

    // The last frame of the next message into out; false after waiting up to poll_ms.
    bool receive(std::vector<unsigned char>& out) {
        zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
        const int ready = zmq_poll(&item, 1, poll_ms);
        if (ready <= 0)
            return false; // nothing yet, or a signal (EINTR): the caller looks at stopping()
        bool more = true;
        bool got = false;
        while (more) {
            zmq_msg_t frame;
            zmq_msg_init(&frame);
            if (zmq_msg_recv(&frame, socket_, ZMQ_DONTWAIT) < 0) {
                zmq_msg_close(&frame);
                return got;
            }
            const auto* data = static_cast<const unsigned char*>(zmq_msg_data(&frame));
            out.assign(data, data + zmq_msg_size(&frame));
            more = zmq_msg_more(&frame) != 0; // a sink's key comes first; the items last
            zmq_msg_close(&frame);
            got = true;
        }
        return got;
    }

  private:
    void close() {
        if (socket_ != nullptr)
            zmq_close(socket_);
        socket_ = nullptr;
        if (context_ != nullptr)
            zmq_ctx_term(context_);
        context_ = nullptr;
    }
    void* context_;
    void* socket_ = nullptr;
};

class zmq_band final : public band_source {
  public:
    zmq_band(const std::string& url, iq_type type, double rate, double center_hz)
        : address_(parse_zmq_url(url)), socket_(url, address_), type_(type),
          item_bytes_(iq_frame_bytes(type)) {
        info_.name = url;
        info_.format =
            std::string(address_.pull ? "ZeroMQ PULL " : "ZeroMQ SUB ") + sigmf_datatype(type);
        info_.rate = address_.rate.value_or(rate);
        info_.complex = true;
        info_.center_hz = address_.center.value_or(center_hz);
        info_.live = true;
        info_.type = type;
        // The first samples, and their tags, decide the band.
        if (wait_for_samples())
            take_changes();
        started_ = true;
        check_band();
    }

    std::size_t read(float* out, std::size_t frames) override {
        if (pos_ >= message_.size() && !wait_for_samples())
            return 0;
        take_changes();
        const uint64_t item = (pos_ - header_) / item_bytes_;
        std::size_t n = std::min(frames, (message_.size() - pos_) / item_bytes_);
        if (!changes_.empty()) // stop at the next change: one read, one band
            n = std::min<std::size_t>(n, changes_.front().offset - item);
        decode_iq(message_.data() + pos_, n, type_, out);
        pos_ += n * item_bytes_;
        frames_ += n;
        return n;
    }

  private:
    using clock = std::chrono::steady_clock;

    // Takes the next message, if one comes within poll_ms; false if none did. Its tags become
    // changes at item numbers within it, in order; those of a message without items (left
    // over when it is done) take effect at the next one's first.
    bool next() {
        if (!socket_.receive(message_))
            return false;
        const zmq_tags t = read_zmq_tags(message_, item_bytes_);
        header_ = pos_ = t.header;
        // Whole items only; GNU Radio never sends part of one.
        const uint64_t items = (message_.size() - pos_) / item_bytes_;
        message_.resize(pos_ + items * item_bytes_);
        for (zmq_tag& c : changes_)
            c.offset = 0;
        for (zmq_tag c : t.tags) {
            // A tag outside the message's items is taken at its nearer end.
            c.offset = std::min(c.offset - std::min(c.offset, t.offset), items);
            changes_.push_back(c);
        }
        std::stable_sort(changes_.begin(), changes_.end(),
                         [](const zmq_tag& x, const zmq_tag& y) { return x.offset < y.offset; });
        return true;
    }

    // Applies the changes due at the next item. Before the first sample they set the band;
    // after it a new centre retunes, a new rate ends the input.
    void take_changes() {
        const uint64_t item = (pos_ - header_) / item_bytes_;
        while (!changes_.empty() && changes_.front().offset <= item) {
            const zmq_tag c = changes_.front();
            changes_.erase(changes_.begin());
            if (c.rate && *c.rate != info_.rate) {
                if (started_)
                    throw input_error(fmt::format("{}: the publisher changed its rate from {} "
                                                  "to {} frames/s at sample {}; a scan's rate "
                                                  "is fixed",
                                                  info_.name, info_.rate, *c.rate, frames_));
                info_.rate = *c.rate;
            }
            if (c.center)
                info_.center_hz = *c.center;
            if (started_)
                check_band();
        }
    }

    // Until a message with samples is there: false on a stop request or once idle= seconds
    // have gone by in this wait (time spent scanning does not count).
    bool wait_for_samples() {
        const clock::time_point since = clock::now();
        while (!stopping()) {
            if (next() && pos_ < message_.size())
                return true;
            if (address_.idle_s &&
                std::chrono::duration<double>(clock::now() - since).count() >= *address_.idle_s)
                return false;
        }
        return false;
    }

    void check_band() const {
        if (!(info_.rate >= min_band_rate && info_.rate <= max_band_rate))
            throw input_error(info_.name + ": I/Q sample rate must lie in 6000 to 20000000");
        if (!(std::abs(info_.center_hz) <= rsid::max_center_hz))
            throw input_error(info_.name +
                              ": the centre frequency must lie within -1e12 to 1e12 Hz");
    }

    zmq_address address_;
    zmq_link socket_;
    iq_type type_;
    std::size_t item_bytes_;
    std::vector<unsigned char> message_; // the message being read
    std::size_t header_ = 0;             // its tag header [bytes]
    std::size_t pos_ = 0;                // its next item [bytes]
    std::vector<zmq_tag> changes_;       // its tags still to apply; offsets within it [items]
    bool started_ = false;               // the band is set: a change is a retune
    uint64_t frames_ = 0;                // frames returned
};

} // namespace

bool is_zmq_url(const std::string& name) { return name.rfind("zmq+", 0) == 0; }

zmq_address parse_zmq_url(const std::string& url) {
    if (!is_zmq_url(url))
        throw input_error(url + ": not a zmq+tcp:// or zmq+ipc:// address");
    zmq_address a;
    const std::size_t query = url.find('?');
    a.endpoint = url.substr(4, query == std::string::npos ? std::string::npos : query - 4);
    const bool tcp = a.endpoint.rfind("tcp://", 0) == 0 && a.endpoint.size() > 6;
    const bool ipc = a.endpoint.rfind("ipc://", 0) == 0 && a.endpoint.size() > 6;
    if (!tcp && !ipc)
        throw input_error(url + ": use zmq+tcp://HOST:PORT or zmq+ipc://PATH");
    if (tcp && a.endpoint.find(':', 6) == std::string::npos)
        throw input_error(url + ": zmq+tcp:// needs a port (HOST:PORT)");
    if (query == std::string::npos)
        return a;
    std::string rest = url.substr(query + 1);
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string item = rest.substr(0, amp);
        rest = amp == std::string::npos ? std::string() : rest.substr(amp + 1);
        const std::size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        if (key == "pull" && eq == std::string::npos)
            a.pull = true;
        else if (key == "rate" && eq != std::string::npos)
            a.rate = number(url, key, value);
        else if (key == "center" && eq != std::string::npos)
            a.center = number(url, key, value);
        else if (key == "idle" && eq != std::string::npos && number(url, key, value) > 0)
            a.idle_s = number(url, key, value);
        else if (key == "span" && eq != std::string::npos && number(url, key, value) > 0)
            a.span = number(url, key, value);
        else
            throw input_error(
                fmt::format("{}: unknown or malformed \"{}\" (pull, rate=HZ, center=HZ, idle=S, "
                            "span=HZ)",
                            url, item));
    }
    return a;
}

std::unique_ptr<band_source> open_zmq_band(const std::string& url, iq_type type, double rate,
                                           double center_hz) {
    return std::make_unique<zmq_band>(url, type, rate, center_hz);
}

} // namespace rsid_tool
