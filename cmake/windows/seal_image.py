#!/usr/bin/env python3
"""Names the setup image's first section .text, marks it code (read and execute) and sets the
checksum again: the linker script merges code, constants and imports into one section, which
the linker can only label as the import data it holds first. It stays unwritable: the loader
lifts the protection of the import address table itself while it binds the imports.

It also drops the import lookup table, which the linker script puts at the very end of that
section: with a zero lookup-table address the loader takes the names from the import address
table, a copy of the lookup table until the loader binds it. The file shrinks only when that
frees a whole file block; the section's size in memory shrinks either way."""
import struct
import sys

CODE_EXECUTE_READ = 0x00000020 | 0x00000040 | 0x20000000 | 0x40000000


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def drop_lookup_table(image, pe, first_section):
    """Zeroes each import descriptor's lookup-table address and cuts the table off the section."""
    section_count = struct.unpack_from('<H', image, pe + 6)[0]
    optional = pe + 24
    file_alignment = struct.unpack_from('<I', image, optional + 36)[0]
    virtual_size, rva, raw_size, raw_at = struct.unpack_from('<IIII', image, first_section + 8)
    import_rva = struct.unpack_from('<I', image, optional + 104)[0]
    iat_rva, iat_size = struct.unpack_from('<II', image, optional + 96 + 12 * 8)
    at = raw_at + import_rva - rva
    lookups = []
    while any(image[at:at + 20]):
        lookups.append(struct.unpack_from('<I', image, at)[0])
        struct.pack_into('<I', image, at, 0)
        at += 20
    struct.pack_into('<I', image, optional + 108, (len(lookups) + 1) * 20)
    table = min(lookups)
    end = rva + virtual_size
    copy = image[raw_at + table - rva:raw_at + end - rva]
    if end - table != iat_size or copy != image[raw_at + iat_rva - rva:raw_at + iat_rva - rva + iat_size]:
        sys.exit('seal_image: the import lookup table is not the copy of the address table ending the section')
    struct.pack_into('<I', image, first_section + 8, table - rva)
    new_raw = align_up(table - rva, file_alignment)
    cut = raw_size - new_raw
    image[raw_at + table - rva:raw_at + raw_size] = bytes(raw_size - (table - rva))
    if cut:
        del image[raw_at + new_raw:raw_at + raw_size]
        struct.pack_into('<I', image, first_section + 16, new_raw)
        for index in range(1, section_count):
            header = first_section + 40 * index
            pointer = struct.unpack_from('<I', image, header + 20)[0]
            if pointer:
                struct.pack_into('<I', image, header + 20, pointer - cut)
        initialized = struct.unpack_from('<I', image, optional + 8)[0]
        struct.pack_into('<I', image, optional + 8, initialized - cut)


path = sys.argv[1]
image = bytearray(open(path, 'rb').read())
pe = struct.unpack_from('<I', image, 0x3C)[0]
optional_size = struct.unpack_from('<H', image, pe + 20)[0]
first_section = pe + 24 + optional_size
image[first_section:first_section + 8] = b'.text\0\0\0'
struct.pack_into('<I', image, first_section + 36, CODE_EXECUTE_READ)
drop_lookup_table(image, pe, first_section)
checksum_at = pe + 24 + 64
struct.pack_into('<I', image, checksum_at, 0)
total = 0
for (word,) in struct.iter_unpack('<H', image + b'\0' * (len(image) & 1)):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
struct.pack_into('<I', image, checksum_at, (total & 0xFFFF) + len(image))
open(path, 'wb').write(image)
