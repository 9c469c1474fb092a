#!/usr/bin/env python3
"""band_scan.py - band_scan.grc as a script: identifiers anywhere in a band of I/Q.

A cf32 file stands in for the SDR source; with a receiver, put its source block in place of
the file source and tune both with the same centre frequency (the scanner also follows the
source's rx_freq tags). Message Debug prints a dict for every identifier heard.

    python3 band_scan.py --file band.cf32 --samp-rate 48000 --center-freq 7.04e6
"""
from argparse import ArgumentParser

from gnuradio import blocks, gr, rsid
from gnuradio.eng_arg import eng_float


class band_scan(gr.top_block):
    def __init__(self, file="band.cf32", samp_rate=48000, center_freq=7.04e6):
        gr.top_block.__init__(self, "Band scan for identifiers", catch_exceptions=True)
        self.source = blocks.file_source(gr.sizeof_gr_complex, file, False)
        self.scanner = rsid.band_scanner(samp_rate, center_freq)
        self.debug = blocks.message_debug(True)
        self.connect(self.source, self.scanner)
        self.msg_connect((self.scanner, "detections"), (self.debug, "print"))

    def set_center_freq(self, center_freq):
        self.scanner.set_center_freq(center_freq)


def main():
    parser = ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--file", default="band.cf32", help="I/Q file (cf32)")
    parser.add_argument("--samp-rate", type=eng_float, default=48000, help="sample rate")
    parser.add_argument("--center-freq", type=eng_float, default=7.04e6,
                        help="centre frequency [Hz]")
    options = parser.parse_args()
    tb = band_scan(options.file, options.samp_rate, options.center_freq)
    tb.run()  # to the end of the file; a live source runs until interrupted


if __name__ == "__main__":
    main()
