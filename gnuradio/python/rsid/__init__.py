"""GNU Radio blocks that find identifiers: rsid.detector (audio) and rsid.band_scanner (I/Q).

Each publishes one PMT dict per identifier on its message port 'detections'; pmt.to_python()
turns it into a Python dict with the fields of `rsid detect --json` and `rsid scan --json`."""
from .rsid_python import band_scanner, detector

__all__ = ["band_scanner", "detector"]
