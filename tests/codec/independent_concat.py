#!/usr/bin/python3
"""Parts of a long text as another open-source SMS library (python3-gammu) encodes them.

Argument: the text as UTF-16BE hex. Prints one line per part: the first octet's
user-data-header bit, the data coding and the user data with its length, in hex.
"""
import sys

import gammu


def user_data(pdu):
    at = 1 + pdu[0]  # service centre
    first = pdu[at]
    at += 2  # first octet, message reference
    at += 2 + (pdu[at] + 1) // 2  # destination
    dcs = pdu[at + 1]
    at += 2
    at += {0x00: 0, 0x08: 7, 0x10: 1, 0x18: 7}[first & 0x18]  # validity
    return first & 0x40, dcs, pdu[at:].hex().upper()


text = bytes.fromhex(sys.argv[1]).decode("utf-16-be")
unicode = sys.argv[2] == "ucs2"
parts = gammu.EncodeSMS({"Class": -1, "Unicode": unicode,
                         "Entries": [{"ID": "ConcatenatedTextLong", "Buffer": text}]})
for part in parts:
    part["Number"] = "+447700900123"
    header, dcs, data = user_data(gammu.EncodePDU(part))
    print(f"{1 if header else 0} {dcs:02X} {data}")
