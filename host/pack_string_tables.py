#!/usr/bin/env python3
"""Packs the string tables of a compiled resource file into the compressed
resource that the installer carries instead of them (LZMA 143).

  pack_string_tables.py STRINGS.res OUT

Forty languages of UTF-16 tables are about 200 KB, a sixth of the
executable; compressed together they are about 40 KB. The installer decodes
them once, on the first string it shows (src/product/string_tables.h).

OUT, little-endian: the unpacked size (u32), the CRC-32 of the unpacked bytes
(u32), the five LZMA properties bytes and the LZMA stream. Unpacked, all in
16-bit units: the number of tables, then per table its language, its block
number and its length, then the tables in that order, each as the resource
compiler wrote it.
"""
import lzma
import struct
import sys
import zlib

RT_STRING = 6
LC, LP, PB, DICTIONARY = 0, 1, 1, 1 << 20  # UTF-16 text: two-byte positions


def read_id(data, pos):
    """A resource type or name: an ordinal or a zero-terminated UTF-16 name."""
    if data[pos:pos + 2] == b'\xff\xff':
        return struct.unpack_from('<H', data, pos + 2)[0], pos + 4
    end = pos
    while data[end:end + 2] != b'\0\0':
        end += 2
    return data[pos:end].decode('utf-16-le'), end + 2


def string_tables(data):
    """(language, block, bytes) of each RT_STRING entry of a .res file."""
    tables = []
    pos = 0
    while pos + 8 <= len(data):
        data_size, header_size = struct.unpack_from('<II', data, pos)
        kind, name_pos = read_id(data, pos + 8)
        block, after = read_id(data, name_pos)
        after = (after + 3) & ~3
        language = struct.unpack_from('<H', data, after + 6)[0]
        if kind == RT_STRING:
            tables.append((language, block, data[pos + header_size:pos + header_size + data_size]))
        pos = (pos + header_size + data_size + 3) & ~3
    return tables


def main():
    tables = string_tables(open(sys.argv[1], 'rb').read())
    if not tables:
        sys.exit(f'{sys.argv[1]}: no string tables')
    unpacked = struct.pack('<H', len(tables))
    unpacked += b''.join(struct.pack('<HHH', language, block, len(table) // 2)
                         for language, block, table in tables)
    unpacked += b''.join(table for _, _, table in tables)
    stream = lzma.compress(unpacked, format=lzma.FORMAT_RAW, filters=[{
        'id': lzma.FILTER_LZMA1, 'preset': 9 | lzma.PRESET_EXTREME,
        'lc': LC, 'lp': LP, 'pb': PB, 'dict_size': DICTIONARY}])
    properties = struct.pack('<BI', (PB * 5 + LP) * 9 + LC, DICTIONARY)
    with open(sys.argv[2], 'wb') as out:
        out.write(struct.pack('<II', len(unpacked), zlib.crc32(unpacked)))
        out.write(properties + stream)


if __name__ == '__main__':
    main()
