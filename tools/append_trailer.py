#!/usr/bin/env python3
"""Appends a payload trailer to an executable: "NVR", the payload, and its
length as 32-bit little-endian.

  append_trailer.py FILE PAYLOAD_FILE [align]

With "align" the file is first padded so that the trailer ends on a multiple
of 8: a signature added afterwards starts its certificate table right after
it (the signing tool aligns that table to 8 bytes).
"""
import struct
import sys

path, payload_path = sys.argv[1], sys.argv[2]
align = len(sys.argv) > 3
payload = open(payload_path, 'rb').read()
with open(path, 'ab') as f:
    size = f.tell()
    if align:
        f.write(b'\0' * ((-(size + 3 + len(payload) + 4)) % 8))
    f.write(b'NVR' + payload + struct.pack('<I', len(payload)))
