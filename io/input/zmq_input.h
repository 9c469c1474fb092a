// zmq_input.h - a live band over ZeroMQ, as GNU Radio's zeromq.pub_sink and push_sink send it.
//
//   zmq+tcp://HOST:PORT          subscribe (SUB) to a publisher (pub_sink) that binds there
//   zmq+tcp://HOST:PORT?pull     pull (PULL) from a pusher (push_sink) that binds there
//   zmq+ipc:///PATH              the same over a local socket
//
// Query keys, joined by & after the ?: `pull`; `rate=HZ` and `center=HZ`, this input's sample
// rate and centre (instead of -r and --center, so that one scan can take several slices of a
// band); `idle=S`, end the input once nothing has arrived for S seconds (a recording replayed
// through a flowgraph; without it a silent publisher is waited for until a stop request);
// `span=HZ`, the share of the band this input reports (instead of --span: the scan keeps it,
// this reader only parses it).
//
// Each message holds whole items of the stated I/Q type (iq_input.h); with pass_tags the sink
// puts GNU Radio's tag header in front of them (magic 0x5FF0 and version 1 in host order, the
// first item's offset and the number of tags as 64-bit counts, then per tag its offset and the
// key, value and source id as serialised PMTs), and a sink given a key sends it as a first
// frame. Tags `rx_rate` and `rx_freq` (what SDR sources attach) on the first sample set the
// band's rate and centre. A later `rx_freq` retunes the band at its sample: reads stop there
// and info().center_hz changes with the next read (band_source). A later `rx_rate` that changes
// the rate ends the input with an error after the samples before it, since the scanner's
// transform is made for one rate. A subscriber that connects after the first samples sees no
// tags and keeps the stated rate and centre.
//
// Like a live pipe: the socket reconnects by itself, so a publisher that goes away and comes
// back is read again (positions count the samples received, gaps take no time); memory stays
// bounded by the receive high-water mark and the largest message accepted; a stop request
// (audio_input.h: stopping()) is seen within 200 ms while nothing arrives. A publisher faster
// than the scan loses messages at the high-water mark (PUB drops), a pusher waits instead.
#ifndef RSID_TOOL_ZMQ_INPUT_H
#define RSID_TOOL_ZMQ_INPUT_H

#include "input/iq_input.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace rsid_tool {

struct zmq_address {
    std::string endpoint;         // what libzmq connects to: tcp://HOST:PORT, ipc://PATH
    bool pull = false;            // PULL from a pusher rather than SUB to a publisher
    std::optional<double> rate;   // rate= [frames/s]
    std::optional<double> center; // center= [Hz]
    std::optional<double> idle_s; // idle= [s]
    std::optional<double> span;   // span= [Hz]
};

// GNU Radio's tag header in front of a message's items, and the tags in it that matter here.
struct zmq_tag {
    uint64_t offset = 0;          // the item it is on, counted from the sink's first
    std::optional<double> rate;   // rx_rate [frames/s]
    std::optional<double> center; // rx_freq [Hz]
};
struct zmq_tags {
    std::size_t header = 0; // bytes in front of the items (0: no header)
    uint64_t offset = 0;    // the first item's number, as the tags count
    std::vector<zmq_tag> tags;
};
// The header of one message whose items are item_bytes long; none (header 0) when the message
// does not start with a whole, well-formed one followed by whole items.
zmq_tags read_zmq_tags(std::span<const unsigned char> message, std::size_t item_bytes);

// True for names that start with zmq+.
bool is_zmq_url(const std::string& name);
// Throws input_error naming the URL when it is not one of the forms above.
zmq_address parse_zmq_url(const std::string& url);

// Connects and waits (stoppably) for the first message, whose tags may set the band's rate and
// centre; rate and center_hz are used when neither the URL nor the tags give them.
std::unique_ptr<band_source> open_zmq_band(const std::string& url, iq_type type, double rate,
                                           double center_hz);

} // namespace rsid_tool

#endif
