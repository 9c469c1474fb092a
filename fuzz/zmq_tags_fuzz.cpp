// zmq_tags_fuzz.cpp - the ZeroMQ reader's parsers: GNU Radio's tag header in front of a
// message's items, and the zmq+ URL with its query keys.
//
// The first byte chooses:
//   0  arbitrary bytes as a message of 2-, 4- or 8-byte items: no header is taken unless whole
//      items follow all of it, and each tag found is a rate or a centre;
//   1  a header built from the fuzzer's values as GNU Radio writes it (tags of any key, numbers
//      as the four numeric PMTs, other values and source ids of any nesting), then items: the
//      parser must find exactly that header and the rx_rate and rx_freq tags with numbers, in
//      order, with their offsets and values bit for bit;
//   2  arbitrary text as a URL: an address of tcp:// or ipc://, or input_error.
// Any other exception, a crash or a sanitizer report is a finding.
#include "fuzz_support.h"
#include "input/zmq_input.h"

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using fuzz::require;
using namespace rsid_tool;

constexpr std::size_t item_sizes[] = {2, 4, 8};

// pmt::serialize's layout: a type byte, then big-endian fields.
struct pmt_writer {
    std::vector<unsigned char> bytes;
    void big(uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
    void symbol(const std::string& s) {
        bytes.push_back(0x02);
        big(s.size(), 2);
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    // A number as one of the numeric PMTs; returns the value the reader should see.
    double number(FuzzedDataProvider& in) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            const double d = fuzz::any_bits(in);
            bytes.push_back(0x04);
            big(std::bit_cast<uint64_t>(d), 8);
            return d;
        }
        case 1: {
            const auto v = in.ConsumeIntegral<int32_t>();
            bytes.push_back(0x03);
            big(static_cast<uint32_t>(v), 4);
            return v;
        }
        case 2: {
            const auto v = in.ConsumeIntegral<int64_t>();
            bytes.push_back(0x0d);
            big(static_cast<uint64_t>(v), 8);
            return static_cast<double>(v);
        }
        default: {
            const auto v = in.ConsumeIntegral<uint64_t>();
            bytes.push_back(0x0b);
            big(v, 8);
            return static_cast<double>(v);
        }
        }
    }
    // Anything but a number, nested up to depth.
    // NOLINTNEXTLINE(misc-no-recursion): bounded by depth
    void other(FuzzedDataProvider& in, int depth) {
        const int kind = in.ConsumeIntegralInRange(0, depth > 0 ? 6 : 3);
        switch (kind) {
        case 0:
            bytes.push_back(static_cast<unsigned char>(in.ConsumeIntegralInRange(0, 1)));
            return; // true, false
        case 1:
            bytes.push_back(0x06); // null
            return;
        case 2:
            symbol(in.ConsumeRandomLengthString(40));
            return;
        case 3:
            bytes.push_back(0x05); // complex
            big(in.ConsumeIntegral<uint64_t>(), 8);
            big(in.ConsumeIntegral<uint64_t>(), 8);
            return;
        case 4:
            bytes.push_back(0x07); // pair
            other(in, depth - 1);
            other(in, depth - 1);
            return;
        case 5: { // vector or tuple
            bytes.push_back(in.ConsumeBool() ? 0x08 : 0x0c);
            const int n = in.ConsumeIntegralInRange(0, 3);
            big(static_cast<uint64_t>(n), 4);
            for (int i = 0; i < n; ++i)
                other(in, depth - 1);
            return;
        }
        default: { // uniform vector of bytes
            bytes.push_back(0x0a);
            bytes.push_back(0x00);
            const int n = in.ConsumeIntegralInRange(0, 16);
            big(static_cast<uint64_t>(n), 4);
            bytes.push_back(0x00); // no padding
            for (int i = 0; i < n; ++i)
                bytes.push_back(in.ConsumeIntegral<unsigned char>());
            return;
        }
        }
    }
};

void host(std::vector<unsigned char>& out, const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    out.insert(out.end(), b, b + n);
}

bool same(const std::optional<double>& a, const std::optional<double>& b) {
    return a.has_value() == b.has_value() &&
           (!a || std::bit_cast<uint64_t>(*a) == std::bit_cast<uint64_t>(*b));
}

void arbitrary(std::span<const unsigned char> message, std::size_t item) {
    const zmq_tags t = read_zmq_tags(message, item);
    if (t.header == 0) {
        require(t.tags.empty());
        return;
    }
    require(t.header >= 19 && t.header <= message.size());
    require((message.size() - t.header) % item == 0);
    for (const zmq_tag& g : t.tags)
        require(g.rate.has_value() != g.center.has_value());
}

void built(FuzzedDataProvider& in, std::size_t item) {
    std::vector<unsigned char> m;
    std::vector<zmq_tag> expected;
    const uint16_t magic = 0x5FF0;
    const auto first = in.ConsumeIntegral<uint64_t>();
    const auto count = in.ConsumeIntegralInRange<uint64_t>(0, 8);
    host(m, &magic, 2);
    m.push_back(1);
    host(m, &first, 8);
    host(m, &count, 8);
    for (uint64_t i = 0; i < count; ++i) {
        const auto offset = in.ConsumeIntegral<uint64_t>();
        host(m, &offset, 8);
        pmt_writer w;
        const int key = in.ConsumeIntegralInRange(0, 2);
        // Any key, which may spell a rate or a centre by chance as well as by choice.
        const std::string name = key == 0   ? "rx_rate"
                                 : key == 1 ? "rx_freq"
                                            : in.ConsumeRandomLengthString(12);
        w.symbol(name);
        std::optional<double> value;
        if (in.ConsumeBool())
            value = w.number(in);
        else
            w.other(in, 3);
        w.other(in, 2); // source id
        m.insert(m.end(), w.bytes.begin(), w.bytes.end());
        if (value && name == "rx_rate")
            expected.push_back({offset, value, std::nullopt});
        else if (value && name == "rx_freq")
            expected.push_back({offset, std::nullopt, value});
    }
    const std::size_t header = m.size();
    const std::vector<unsigned char> items =
        in.ConsumeBytes<unsigned char>(item * in.ConsumeIntegralInRange<std::size_t>(0, 64));
    m.insert(m.end(), items.begin(),
             items.begin() + static_cast<std::ptrdiff_t>(items.size() / item * item));
    const zmq_tags t = read_zmq_tags(m, item);
    require(t.header == header && t.offset == first && t.tags.size() == expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        require(t.tags[i].offset == expected[i].offset && same(t.tags[i].rate, expected[i].rate) &&
                same(t.tags[i].center, expected[i].center));
}

void url(const std::string& text) {
    try {
        const zmq_address a = parse_zmq_url(text);
        require(a.endpoint.rfind("tcp://", 0) == 0 || a.endpoint.rfind("ipc://", 0) == 0);
        require(!a.idle_s || *a.idle_s > 0);
        require(!a.span || *a.span > 0);
    } catch (const input_error&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t item = item_sizes[data[1] % 3];
    switch (data[0] % 3) {
    case 0:
        arbitrary({data + 2, size - 2}, item);
        break;
    case 1: {
        FuzzedDataProvider in(data + 2, size - 2);
        built(in, item);
        break;
    }
    default:
        url(std::string(reinterpret_cast<const char*>(data + 2), size - 2));
        break;
    }
    return 0;
}
