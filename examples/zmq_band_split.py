#!/usr/bin/env python3
"""Split a wide band into slices with GNU Radio and publish each slice on its own ZeroMQ port,
for `rsid scan zmq+tcp://...` processes on this or other machines to scan:

    python3 examples/zmq_band_split.py band.cf32 --rate 1.2e6 --center 14.1e6 --slices 4
    rsid scan -t cf32 -r 600000 --span 300000 zmq+tcp://HOST:5600 zmq+tcp://HOST:5601 --json > a.jsonl
    rsid scan -t cf32 -r 600000 --span 300000 zmq+tcp://HOST:5602 zmq+tcp://HOST:5603 --json > b.jsonl
    rsid merge a.jsonl b.jsonl

The band is shifted down by half a slice spacing before the channelizer (pfb.channelizer_ccf),
so the slices are centred on the band's centre +-spacing/2, +-3 spacing/2, ... and together
cover it edge to edge, none of them across the band's edges. The channelizer is oversampled
twice, so each slice's passband reaches past its neighbour's edge: an identifier that sits on a
boundary is whole in both slices. A scanner given --span = the spacing reports from each slice
only what lies in its own share (the centre of the identifier's tones within spacing/2 of the
slice's centre), so every part of the band is reported by one slice, and what a slice holds
beyond its share (its neighbour's, or the other end of the band folded in next to an edge) is
left to the slice that owns it. `rsid merge` joins the scans into one stream. Every slice
carries rx_rate and rx_freq tags (pass_tags), so a scanner learns its slice's rate and centre
from the stream; -r only names the rate of a subscriber that joins after the first samples.

A file source stands in for a receiver (osmosdr, uhd): replace it to scan a live band. With
--push each slice waits for its scanner (lossless, for recordings); without, slices are
published (PUB) and a scanner that falls behind loses messages rather than slowing the rest.
"""
import argparse
import math
import sys

import numpy as np
import pmt
from gnuradio import blocks, filter, gr, zeromq
from gnuradio.filter import pfb


class band_tags(gr.sync_block):
    """Passes a slice through and tags its first sample with the slice's rate and centre."""

    def __init__(self, rate, center):
        gr.sync_block.__init__(self, name="band_tags", in_sig=[np.complex64],
                               out_sig=[np.complex64])
        self.rate = rate
        self.center = center

    def work(self, input_items, output_items):
        if self.nitems_written(0) == 0:
            for key, value in (("rx_rate", self.rate), ("rx_freq", self.center)):
                self.add_item_tag(0, 0, pmt.intern(key), pmt.from_double(value))
        output_items[0][:] = input_items[0]
        return len(output_items[0])


def slice_center(k, slices, rate, center):
    """The channelizer's output k is centred k slice spacings above the shifted band's centre,
    the upper half of them wrapping to below it; the shift puts it half a spacing higher."""
    spacing = rate / slices
    return center + (k + 0.5 if k < slices // 2 else k + 0.5 - slices) * spacing


class band_split(gr.top_block):
    def __init__(self, path, rate, center, slices, port, push, host="127.0.0.1", throttle=False):
        gr.top_block.__init__(self, "band_split")
        spacing = rate / slices
        # Passband 0.55 spacings either side of a slice's centre, stopband by 0.75: the
        # oversampled output (two spacings wide) then has no alias inside the passband.
        taps = filter.firdes.low_pass_2(1.0, rate, 0.65 * spacing, 0.2 * spacing, 70)
        source = blocks.file_source(gr.sizeof_gr_complex, path, False)
        # Down by half a spacing [rad per sample]: slice centres off the band's edges.
        shift = blocks.rotator_cc(-math.pi / slices)
        self.channelizer = pfb.channelizer_ccf(slices, taps, 2.0, 70)
        if throttle:
            limiter = blocks.throttle(gr.sizeof_gr_complex, rate)
            self.connect(source, limiter, shift, self.channelizer)
        else:
            self.connect(source, shift, self.channelizer)
        self.sinks = []
        for k in range(slices):
            address = "tcp://%s:%d" % (host, port + k)
            tagger = band_tags(2.0 * spacing, slice_center(k, slices, rate, center))
            if push:
                sink = zeromq.push_sink(gr.sizeof_gr_complex, 1, address, 100, True, -1)
            else:
                sink = zeromq.pub_sink(gr.sizeof_gr_complex, 1, address, 100, True, -1)
            self.connect((self.channelizer, k), tagger, sink)
            self.sinks.append((tagger, sink))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("path", help="cf32 recording of the band")
    p.add_argument("--rate", type=float, required=True, help="its sample rate [I/Q pairs/s]")
    p.add_argument("--center", type=float, default=0.0, help="its centre frequency [Hz]")
    p.add_argument("--slices", type=int, default=4, help="slices (even)")
    p.add_argument("--port", type=int, default=5600, help="port of slice 0; slice k on port+k")
    p.add_argument("--host", default="127.0.0.1", help="address the sinks bind ('*' for all)")
    p.add_argument("--push", action="store_true", help="PUSH (lossless) instead of PUB")
    p.add_argument("--throttle", action="store_true", help="play the file at its own rate")
    a = p.parse_args()
    if a.slices < 2 or a.slices % 2:
        sys.exit("--slices must be even")
    tb = band_split(a.path, a.rate, a.center, a.slices, a.port, a.push, a.host, a.throttle)
    for k in range(a.slices):
        print("slice %d: port %d, centre %.0f Hz, %.0f I/Q pairs/s; scan with --span %.0f" %
              (k, a.port + k, slice_center(k, a.slices, a.rate, a.center), 2 * a.rate / a.slices,
               a.rate / a.slices), file=sys.stderr)
    tb.run()


if __name__ == "__main__":
    main()
