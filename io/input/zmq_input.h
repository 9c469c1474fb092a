// zmq_input.h - a live band over ZeroMQ, as GNU Radio's zeromq.pub_sink and push_sink send it.
//
//   zmq+tcp://HOST:PORT          subscribe (SUB) to a publisher (pub_sink) that binds there
//   zmq+tcp://HOST:PORT?pull     pull (PULL) from a pusher (push_sink) that binds there
//   zmq+ipc:///PATH              the same over a local socket
//
// Query keys, joined by & after the ?: `pull`; `rate=HZ` and `center=HZ`, this input's sample
// rate and centre (instead of -r and --center, so that one scan can take several slices of a
// band); `idle=S`, end the input once nothing has arrived for S seconds (a recording replayed
// through a flowgraph; without it a silent publisher is waited for until a stop request).
//
// Each message holds whole items of the stated I/Q type (iq_input.h); with pass_tags the sink
// puts GNU Radio's tag header in front of them (magic 0x5FF0 and version 1 in host order, the
// first item's offset and the number of tags as 64-bit counts, then per tag its offset and the
// key, value and source id as serialised PMTs), and a sink given a key sends it as a first
// frame. Tags `rx_rate` and `rx_freq` (what SDR sources attach) set the band's rate and centre
// when they come with the first samples; a later change of either ends the input with an
// error, since a scan's band is fixed. A subscriber that connects after the first samples sees
// no tags and keeps the stated rate and centre.
//
// Like a live pipe: the socket reconnects by itself, so a publisher that goes away and comes
// back is read again (positions count the samples received, gaps take no time); memory stays
// bounded by the receive high-water mark and the largest message accepted; a stop request
// (audio_input.h: stopping()) is seen within 200 ms while nothing arrives. A publisher faster
// than the scan loses messages at the high-water mark (PUB drops), a pusher waits instead.
#ifndef RSID_TOOL_ZMQ_INPUT_H
#define RSID_TOOL_ZMQ_INPUT_H

#include "input/iq_input.h"

#include <memory>
#include <optional>
#include <string>

namespace rsid_tool {

struct zmq_address {
    std::string endpoint;         // what libzmq connects to: tcp://HOST:PORT, ipc://PATH
    bool pull = false;            // PULL from a pusher rather than SUB to a publisher
    std::optional<double> rate;   // rate= [frames/s]
    std::optional<double> center; // center= [Hz]
    std::optional<double> idle_s; // idle= [s]
};

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
