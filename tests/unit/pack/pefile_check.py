#!/usr/bin/env python3
"""Builds a setup with setup-pack and reads it back with pefile, a reader we did not write: exactly the package's entries."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pefile

SKIP = 77
FILES = [  # listed name, source, content
    ('Lumivue.exe', 'Lumivue.exe', b'MZ the main program'),
    ('Docs\\Read Me.txt', 'readme.txt', b'Read me first.\r\n'),
    ('Docs\\read-me.txt', 'readme.txt', b'Read me first.\r\n'),  # same bytes: one data entry for both
    ('Fran\u00e7ais\\Notes.txt', 'notes.txt', b'Notes'),
    ('\u041f\u0440\u043e\u0431\u0430\\\u65e5\u672c\u8a9e.txt', 'nihongo.txt', b'\xe6\x97\xa5'),
    ('Big Data.bin', 'big.bin', bytes((i * 7 + 3) & 0xFF for i in range(300001))),
]
FOLDERS = ['Docs', 'Fran\u00e7ais', '\u041f\u0440\u043e\u0431\u0430', 'Extras', 'Extras\\Fonts']
TERMS = 'Terms of Lumivue \u00a9\n \n\u03a4\u03ad\u03bb\u03bf\u03c2 \u7d42\u308f\u308a\n'
# The string ids the setup reads, from the header the product and setup-pack include.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../resources/resource.h')) as header:
    IDS = {name: int(value) for name, value in re.findall(r'#define (IDS_\w+) (\d+)', header.read())}

WRITE, EXECUTE = 0x80000000, 0x20000000
HARDENING = {'DYNAMIC_BASE': 0x40, 'NX_COMPAT': 0x100, 'NO_SEH': 0x400, 'TERMINAL_SERVER_AWARE': 0x8000}
SUPPORTED_OS = {'{e2011457-1546-43c5-a5fe-008deee3d3f0}', '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',
                '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}', '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',
                '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'}  # Vista, 7, 8, 8.1, 10 and 11


def thunks(pe, rva):
    """The 32-bit entries of an import lookup or address table, up to its terminating zero."""
    found = []
    while rva and pe.get_dword_at_rva(rva + 4 * len(found)):
        found.append(pe.get_dword_at_rva(rva + 4 * len(found)))
    return found


def manifest(pe):
    """The parsed RT_MANIFEST 1, or the reason there is none."""
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries if kind.id == pefile.RESOURCE_TYPE['RT_MANIFEST'] else []:
            if name.id == 1:
                data = name.directory.entries[0].data.struct
                try:
                    return ElementTree.fromstring(pe.get_data(data.OffsetToData, data.Size))
                except ElementTree.ParseError as error:
                    return 'not well-formed: %s' % error
    return 'no RT_MANIFEST 1'


def texts(root, tag, attribute=None):
    """Every text (or attribute) of the elements named tag, whatever their namespace."""
    if isinstance(root, str):
        return [root]
    return [e.get(attribute) if attribute else e.text for e in root.iter() if e.tag.split('}')[-1] == tag]


# What Windows, signing tools and scanners expect of a released image: (what, expected, how to read it).
IMAGE_ROWS = [
    ('import lookup tables, each the copy of its address table', True,
     lambda pe: all(d.struct.OriginalFirstThunk and thunks(pe, d.struct.OriginalFirstThunk) ==
                    thunks(pe, d.struct.FirstThunk) for d in pe.DIRECTORY_ENTRY_IMPORT)),
    ('DllCharacteristics hardening flags', sorted(HARDENING),
     lambda pe: sorted(k for k, v in HARDENING.items() if pe.OPTIONAL_HEADER.DllCharacteristics & v)),
    ('base relocations', True, lambda pe: bool(getattr(pe, 'DIRECTORY_ENTRY_BASERELOC', None))),
    ('sections both writable and executable', [],
     lambda pe: [s.Name for s in pe.sections if s.Characteristics & WRITE and s.Characteristics & EXECUTE]),
    ('checksum correct', True, lambda pe: pe.verify_checksum()),
    ('manifest execution level', ['requireAdministrator'],
     lambda pe: texts(manifest(pe), 'requestedExecutionLevel', 'level')),
    ('manifest supported systems', sorted(SUPPORTED_OS), lambda pe: sorted(texts(manifest(pe), 'supportedOS', 'Id'))),
    ('manifest DPI awareness', ['true/pm', 'PerMonitorV2,PerMonitor'],
     lambda pe: texts(manifest(pe), 'dpiAware') + texts(manifest(pe), 'dpiAwareness')),
    ('manifest common controls', ['Microsoft.Windows.Common-Controls 6.0.0.0'],
     lambda pe: ['%s %s' % pair for pair in zip(texts(manifest(pe), 'assemblyIdentity', 'name'),
                                                texts(manifest(pe), 'assemblyIdentity', 'version'))]),
]



def strings_of(pe, entry):
    """Every string of the RT_STRING type entry, by id, as pefile reads the blocks, and their languages."""
    languages = {lang.id for block in entry.directory.entries for lang in block.directory.entries}
    found = {i: text for block in entry.directory.entries for i, text in block.directory.strings.items() if text}
    return found, languages


def check_order(directory, where, problems):
    """Named entries first, names by UTF-16 units, then ids ascending: what the loader's binary search needs."""
    keys = [(0, str(e.name)) if e.name is not None else (1, e.id) for e in directory.entries]
    if keys != sorted(keys) or len(set(keys)) != len(keys):
        problems.append('%s: entries out of order: %s' % (where, keys))
    if directory.struct.NumberOfNamedEntries != sum(1 for k in keys if k[0] == 0):
        problems.append('%s: named entry count is wrong' % where)
    for e in directory.entries:
        if hasattr(e, 'directory'):
            check_order(e.directory, '%s/%s' % (where, e.name or e.id), problems)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('setup_pack')
    parser.add_argument('--stub')
    parser.add_argument('--make-stub')
    parser.add_argument('--work', required=True)
    args = parser.parse_args()
    if args.stub and not os.path.exists(args.stub):
        print('skipped: no stub at %s (build it with make win)' % args.stub)
        return SKIP

    shutil.rmtree(args.work, ignore_errors=True)
    src = os.path.join(args.work, 'src')
    os.makedirs(src)
    stub = args.stub or os.path.join(args.work, 'stub.exe')
    if args.make_stub:
        subprocess.run([args.make_stub, stub], check=True)
    with open(stub, 'rb') as f:
        stub_pe = pefile.PE(data=f.read())
    stub_strings = {}
    for entry in stub_pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == pefile.RESOURCE_TYPE['RT_STRING']:
            stub_strings, _ = strings_of(stub_pe, entry)
    stub_types = {e.id for e in stub_pe.DIRECTORY_ENTRY_RESOURCE.entries}

    for _, source, content in FILES:
        with open(os.path.join(src, source), 'wb') as f:
            f.write(content)
    with open(os.path.join(src, 'terms.txt'), 'w', encoding='utf-8', newline='\r\n') as f:
        f.write(TERMS)
    lines = ['[product]', 'name = Lumivue', 'program = Lumivue.exe', 'version = 7.0',
             'legal = Copyright \u00a9 2026 Lumivue', 'terms = terms.txt', 'publisher = Lumivue S\u00e0rl',
             'uninstall = docs\\READ ME.TXT', 'architecture = x64', '[folders]', 'folder = Extras\\Fonts',
             '[files]'] + ['%s = %s' % (name, source) for name, source, _ in FILES]
    with open(os.path.join(src, 'setup.ini'), 'w', encoding='utf-8') as f:
        f.write('\n'.join(lines) + '\n')
    setup = os.path.join(args.work, 'Setup.exe')
    run = subprocess.run([args.setup_pack, os.path.join(src, 'setup.ini'), '-o', setup, '--stub', stub],
                         capture_output=True, text=True)
    if run.returncode != 0:
        print(run.stdout, run.stderr)
        return 1

    problems = []
    pe = pefile.PE(setup)
    opt = pe.OPTIONAL_HEADER
    if not pe.verify_checksum():
        problems.append('checksum %#x, pefile computes %#x' % (opt.CheckSum, pe.generate_checksum()))
    if opt.FileAlignment != 512:
        problems.append('file alignment %d for a small payload' % opt.FileAlignment)
    last = max(pe.sections, key=lambda s: s.VirtualAddress)
    end = last.VirtualAddress + max(last.Misc_VirtualSize, last.SizeOfRawData)
    if opt.SizeOfImage != (end + opt.SectionAlignment - 1) // opt.SectionAlignment * opt.SectionAlignment:
        problems.append('SizeOfImage %#x does not end the last section (%#x)' % (opt.SizeOfImage, end))
    for s in pe.sections:
        if s.PointerToRawData % opt.FileAlignment or s.SizeOfRawData % opt.FileAlignment:
            problems.append('section %s is not file-aligned' % s.Name)
        if s.PointerToRawData + s.SizeOfRawData > len(pe.__data__):
            problems.append('section %s runs past the file' % s.Name)
    rsrc_dir = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_RESOURCE']]
    holder = [s for s in pe.sections if s.VirtualAddress == rsrc_dir.VirtualAddress]
    if not holder or holder[0].Misc_VirtualSize != rsrc_dir.Size:
        problems.append('the resource directory entry does not match its section')
    problems += ['pefile: ' + w for w in pe.get_warnings()]
    check_order(pe.DIRECTORY_ENTRY_RESOURCE, 'resources', problems)
    # Where a linker puts them: each entry's data on an 8-byte boundary, as the stub's own are.
    unaligned = [l.data.struct.OffsetToData for t in pe.DIRECTORY_ENTRY_RESOURCE.entries
                 for e in t.directory.entries for l in e.directory.entries if l.data.struct.OffsetToData % 8]
    if unaligned:
        problems.append('resource data at %s, not on an 8-byte boundary' % ', '.join(map(hex, unaligned)))

    types = {e.id: e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries}
    expected_types = stub_types | {pefile.RESOURCE_TYPE[t] for t in ('RT_STRING', 'RT_RCDATA', 'RT_VERSION')}
    if set(types) != expected_types:
        problems.append('resource types %s, expected %s' % (sorted(types), sorted(expected_types)))

    strings, languages = strings_of(pe, types[pefile.RESOURCE_TYPE['RT_STRING']])
    expected = dict(stub_strings)
    expected.update({IDS['IDS_PRODUCT_NAME']: 'Lumivue', IDS['IDS_PROGRAM_FILE']: 'Lumivue.exe', IDS['IDS_TERMS']: TERMS,
                     IDS['IDS_PUBLISHER']: 'Lumivue S\u00e0rl',
                     IDS['IDS_UNINSTALL']: 'Docs\\Read Me.txt', IDS['IDS_VERSION_TEXT']: '7.0',  # the uninstaller as [files] spells it
                     IDS['IDS_ARCHITECTURE']: 'x64'})
    expected.update({IDS['IDS_SUBDIR_FIRST'] + i: f for i, f in enumerate(FOLDERS)})
    expected.update({IDS['IDS_FILE_FIRST'] + i: f[0] for i, f in enumerate(FILES)})
    for i in sorted(set(strings) | set(expected)):
        if strings.get(i) != expected.get(i):
            problems.append('string %d is %r, expected %r' % (i, strings.get(i), expected.get(i)))
    if languages != {0}:
        problems.append('string blocks in languages %s, expected neutral only' % languages)

    # One entry per file, numbered like its list entry; the same bytes at one address.
    payload, where = {}, {}
    for entry in types[pefile.RESOURCE_TYPE['RT_RCDATA']].directory.entries:
        for lang in entry.directory.entries:
            if lang.id != 0:
                problems.append('payload %s in language %d' % (entry.name or entry.id, lang.id))
            payload[entry.name or entry.id] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
            where[entry.name or entry.id] = lang.data.struct.OffsetToData
    first_file = IDS['IDS_FILE_FIRST']
    wanted = {first_file + i: content for i, (_, _, content) in enumerate(FILES)}
    if sorted(payload, key=str) != sorted(wanted):
        problems.append('payload entries %s, expected %s' % (sorted(payload, key=str), sorted(wanted)))
    for number, content in wanted.items():
        if payload.get(number) != content:
            problems.append('payload %s differs from its source' % number)
    if where.get(first_file + 1) != where.get(first_file + 2) or len(set(where.values())) != len(FILES) - 1:
        problems.append('payload data at %s: the two read-me files should share theirs, no other' % where)

    fixed = pe.VS_FIXEDFILEINFO[0]
    if (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS,
            fixed.FileType) != (7 << 16, 0, 7 << 16, 0, 1):
        problems.append('fixed version info %s' % fixed)
    tables, translation = {}, None
    for info in pe.FileInfo[0]:
        if info.Key == b'StringFileInfo':
            tables = {t.LangID: t.entries for t in info.StringTable}
        if info.Key == b'VarFileInfo':
            translation = info.Var[0].entry
    want_strings = {b'FileDescription': b'Setup program for Lumivue', b'FileVersion': b'7.0',
                    b'ProductVersion': b'7.0', b'LegalCopyright': 'Copyright \u00a9 2026 Lumivue'.encode('utf-8')}
    if tables != {b'040904e4': want_strings}:
        problems.append('string file info %s' % tables)
    if translation != {b'Translation': '0x0409 0x04e4'}:
        problems.append('translation %s' % translation)
    version_langs = [l.id for e in types[pefile.RESOURCE_TYPE['RT_VERSION']].directory.entries
                     for l in e.directory.entries]
    if version_langs != [0]:
        problems.append('version block languages %s' % version_langs)

    inspect = subprocess.run([args.setup_pack, '--inspect', setup], capture_output=True, text=True)
    for line in ['product:   Lumivue', 'terms:     3 lines', 'folders:   5', 'files:     6,', '  numbered\n',
                 'numbered, the bytes of %d' % (first_file + 1), '(correct)', 'publisher: Lumivue S\u00e0rl',
                 'uninstall: Docs\\Read Me.txt']:
        if line not in inspect.stdout:
            problems.append('--inspect lacks %r:\n%s%s' % (line, inspect.stdout, inspect.stderr))

    if args.stub:  # the synthetic stub is a bare image; the real one must be a releasable one
        for label, path in (('stub', stub), ('packed setup', setup)):
            image = pefile.PE(path)
            for what, expected, read in IMAGE_ROWS:
                got = read(image)
                if got != expected:
                    problems.append('%s: %s: expected %s, got %s' % (label, what, expected, got))

    for p in problems:
        print('FAIL:', p)
    print('%s: %d problems' % (setup, len(problems)))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
