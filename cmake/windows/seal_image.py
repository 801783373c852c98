#!/usr/bin/env python3
"""Names the setup image's first section .text, marks it code (read and execute) and sets the
checksum again: the linker script merges code, constants and imports into one section, which
the linker can only label as the import data it holds first. It stays unwritable: the loader
lifts the protection of the import address table itself while it binds the imports."""
import struct
import sys

CODE_EXECUTE_READ = 0x00000020 | 0x00000040 | 0x20000000 | 0x40000000

path = sys.argv[1]
image = bytearray(open(path, 'rb').read())
pe = struct.unpack_from('<I', image, 0x3C)[0]
optional_size = struct.unpack_from('<H', image, pe + 20)[0]
first_section = pe + 24 + optional_size
image[first_section:first_section + 8] = b'.text\0\0\0'
struct.pack_into('<I', image, first_section + 36, CODE_EXECUTE_READ)
checksum_at = pe + 24 + 64
struct.pack_into('<I', image, checksum_at, 0)
total = 0
for (word,) in struct.iter_unpack('<H', image + b'\0' * (len(image) & 1)):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
struct.pack_into('<I', image, checksum_at, (total & 0xFFFF) + len(image))
open(path, 'wb').write(image)
