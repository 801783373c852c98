#!/usr/bin/env python3
"""Runs setup-pack's cases (rows.txt) through its command line; pefile, a reader we did not write, reads what it wrote.
rows.py SETUP_PACK PACK_SWEEP WORK [STUB]: without STUB every row runs on a synthetic stub; with it, the round trip's
rows and the 'real' rows run on that stub (exit 77 when it is absent)."""
import itertools
import lzma
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
from crc32c import crc32c  # noqa: E402

KEYS = ('name', 'program', 'version', 'legal', 'terms', 'publisher', 'uninstall', 'architecture', 'scope')
BASE = ['[product]', 'name = Lumivue', 'program = Lumivue.exe', 'version = 7.0', 'legal = (C) 2026 Us',
        'terms = terms.txt', '[files]', 'Lumivue.exe = bin/Lumivue.exe']
SOURCES = {'bin/Lumivue.exe': b'MZ program', 'terms.txt': b'Use it well.\n \nThe end.\n', 'x': b'x',
           'a.txt': b'h' * 4096 + b'same bytes', 'b.txt': b'h' * 4096 + b'same bytes', 'c.txt': b'h' * 4096 + b'other byte'}
# A sanitizer's report must not pass for setup-pack's own exit status 1.
ENV = dict(os.environ, ASAN_OPTIONS='exitcode=86', UBSAN_OPTIONS='exitcode=86:print_stacktrace=1')


def unescape(text):
    """Table text as bytes: {t*n} is t n times (innermost first); \\xHH, \\n, \\r, \\t and \\0 are those bytes."""
    while re.search(r'\{[^{}]+\*\d+\}', text):
        text = re.sub(r'\{([^{}]+)\*(\d+)\}', lambda m: m[1] * int(m[2]), text)
    return re.sub(rb'\\(x[0-9A-F]{2}|[nrt0])', lambda m: {b'n': b'\n', b'r': b'\r', b't': b'\t', b'0': b'\0'}.get(m[1])
                  or bytes([int(m[1][1:], 16)]), text.encode())


def resources(tree, rva):
    """A resource section for {type: {name: {language: data}}}: the tables breadth first, data entries, names, data."""
    order, tables = lambda table: sorted(table, key=lambda k: (isinstance(k, int), k)), [tree]
    for table in tables:
        tables += [table[k] for k in order(table) if isinstance(table[k], dict)]
    table_at = {id(t): sum(16 + 8 * len(u) for u in tables[:i]) for i, t in enumerate(tables)}
    leaves = [t[k] for t in tables for k in order(t) if not isinstance(t[k], dict)]
    entries = sum(16 + 8 * len(t) for t in tables)
    name_at, names = {}, b''
    for n in (k for t in tables for k in order(t) if isinstance(k, str)):
        name_at[n], names = entries + 16 * len(leaves) + len(names), names + struct.pack('<H', len(n)) + n.encode('utf-16-le')
    data_at, out, leaf, data = -(-(entries + 16 * len(leaves) + len(names)) // 8) * 8, b'', 0, b''
    for t in tables:
        ids = sum(isinstance(k, int) for k in t)
        out += struct.pack('<IIHHHH', 0, 0, 0, 0, len(t) - ids, ids)
        for k in order(t):
            nested = isinstance(t[k], dict)
            out += struct.pack('<II', k if isinstance(k, int) else 0x80000000 | name_at[k],
                               0x80000000 | table_at[id(t[k])] if nested else entries + 16 * leaf)
            leaf += not nested
    for blob in leaves:
        out, data = out + struct.pack('<IIII', rva + data_at + len(data), len(blob), 0, 0), data + blob.ljust(-(-len(blob) // 8) * 8, b'\0')
    return (out + names).ljust(data_at, b'\0') + data


def synthetic_stub():
    """A PE32 image as a linker makes it: code, resources (a named dialog; messages 202, 205, 212; a manifest whose
    level only its requestedExecutionLevel element holds), relocations."""
    string_block = lambda texts: b''.join(struct.pack('<H', len(texts.get(i, ''))) + texts.get(i, '').encode('utf-16-le')
                                          for i in range(16))
    rsrc = resources({5: {10: {0: b'\x22' * 30}, 'ABOUT': {0: b'\x33' * 30}},
                      6: {13: {0: string_block({10: 'Welcome to %s!', 13: 'The installation process failed!'})},
                          14: {0: string_block({4: "Warning: Couldn't launch '%s'"})}},
                      24: {1: {0x409: b'<?xml version="1.0"?><assembly xmlns="urn:schemas-microsoft-com:asm.v1" '
                                      b'manifestVersion="1.0"><!--><requestedExecutionLevel level="asInvoker"/> -->\n'
                                      b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
                                      b"<requestedExecutionLevel uiAccess='false' level='requireAdministrator'/>\n"
                                      b'</requestedPrivileges></security></trustInfo><file name="a" level="1"/></assembly>'}}},
                     0x2000)
    raw, reloc = -(-len(rsrc) // 0x200) * 0x200, 0x2000 + -(-len(rsrc) // 0x1000) * 0x1000
    head = b'MZ'.ljust(0x3C, b'\0') + struct.pack('<I4sHHIIIHH', 0x40, b'PE\0\0', 0x14C, 3, 0, 0, 0, 0xE0, 0x102)
    head += struct.pack('<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII', 0x10B, 0, 0, 0x200, raw + 0x200, 0, 0x1000, 0x1000, 0x2000,
                        0x400000, 0x1000, 0x200, 4, 0, 0, 0, 4, 0, 0, reloc + 0x1000, 0x200, 0, 2, 0x140, 0x200000,
                        0x1000, 0x100000, 0x1000, 0, 16)
    head += struct.pack('<32I', *[0] * 4, 0x2000, len(rsrc), *[0] * 4, reloc, 12, *[0] * 20)
    for name, rva, size, at, flags in ((b'.text', 0x1000, 0x10, 0x200, 0x60000020),
                                       (b'.rsrc', 0x2000, len(rsrc), 0x400, 0x40000040),
                                       (b'.reloc', reloc, 12, 0x400 + raw, 0x42000040)):
        head += struct.pack('<8sIIIIIIHHI', name, size, rva, -(-size // 0x200) * 0x200, at, 0, 0, 0, 0, flags)
    code = b'\xB8\x00\x10\x40\x00\xC3'  # mov eax, 0x401000; ret
    return head.ljust(0x200, b'\0') + code.ljust(0x200, b'\0') + rsrc.ljust(raw, b'\0') + \
        struct.pack('<IIH', 0x1000, 12, 0x3001).ljust(0x200, b'\0')


def manifest(edits, folder):
    """BASE with a row's edits, as rows.txt tells."""
    lines = list(BASE)
    for item in filter(None, edits.split(' ; ')):
        key = item.split(' =')[0]
        if item[0] == '>':
            write(os.path.join(folder, unescape(key[1:]).decode()), unescape(item.partition(' =')[2][1:]))
        elif item[0] == '-':
            lines.remove(next(line for line in lines if line.startswith(item[1:])))
        elif item[0] == '^':
            lines.insert(0, item[1:])
        elif key in KEYS and key in [line.split(' =')[0] for line in lines]:
            lines[[line.split(' =')[0] for line in lines].index(key)] = item
        elif key in KEYS or item[0] == '+':
            lines.insert(lines.index('[files]'), item.lstrip('+'))
        else:
            lines.append(item)
    return b''.join(unescape(line) + b'\n' for line in lines)


def write(path, data):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_bytes(data)


def files(entries, index, block):
    """The listed files' bytes by id: their entries', or with an LZMA index their parts of the block as Python's lzma
    decodes it (the properties from its first 5 bytes; the end marker after the total). The index must vouch for each."""
    words = struct.unpack('<%dI' % (len(index) // 4), index) if index else ()
    if words[:1] == (1,):
        lzma1 = dict(id=lzma.FILTER_LZMA1, dict_size=struct.unpack_from('<I', block, 1)[0], lc=block[0] % 9,
                     lp=block[0] // 9 % 5, pb=block[0] // 45)
        decoder = lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[lzma1])
        data, ends = decoder.decompress(block[5:]), list(itertools.accumulate(words[1::2]))
        if not decoder.eof or len(data) != sum(words[1::2]):
            raise ValueError('the block does not end with its marker after the %d bytes recorded' % sum(words[1::2]))
        entries = {10000 + i: data[end - size:end] for i, (size, end) in enumerate(zip(words[1::2], ends))}
    found = [(len(entries.get(10000 + i, b'')), crc32c(entries.get(10000 + i, b''))) for i in range(len(words) // 2)]
    if found != list(zip(words[1::2], words[2::2])):
        raise ValueError('the index records %s, the files are %s' % (words, found))
    return entries


def view(path, stub):
    """The words of 'read' and 'real' rows, as pefile reads the image at path."""
    pe, folder = pefile.PE(path), os.path.dirname(path)
    tables, unordered, leaves, s = [('', getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None))], [], [], {}
    for where, table in tables:  # the loader binary-searches: names first, in order, then ids ascending
        keys = [(0, str(e.name)) if e.name is not None else (1, e.id) for e in getattr(table, 'entries', [])]
        if keys != sorted(set(keys)) or table.struct.NumberOfNamedEntries != sum(k[0] == 0 for k in keys):
            unordered.append(where or 'root')
        tables += [('%s/%s' % (where, k[1]), e.directory) for k, e in zip(keys, table.entries) if hasattr(e, 'directory')]
    for kind in getattr(tables[0][1], 'entries', []):
        for entry in kind.directory.entries:
            s.update({i: t for i, t in getattr(entry.directory, 'strings', {}).items() if t})
            leaves += [(kind.id, entry.id or str(entry.name), lang.id, lang.data.struct) for lang in entry.directory.entries]
    get = lambda d: pe.get_data(d.OffsetToData, d.Size)
    xml = next((ElementTree.fromstring(get(d)) for t, n, l, d in leaves if t == 24), ElementTree.Element('none'))
    entries = {n: get(d) for t, n, l, d in leaves if t == 10}
    index, block = entries.pop(1, None), entries.pop(2, None)
    return {'pe': pe, 'data': Path(path).read_bytes(), 'stub': stub, 's': s, 'leaves': leaves, 'unordered': unordered,
            'payload': files(entries, index, block), 'at': {n: d.OffsetToData for t, n, l, d in leaves if t == 10 and n in entries},
            'index': index and struct.unpack('<%dI' % (len(index) // 4), index), 'block': block,
            'manifest': next((get(d) for t, n, l, d in leaves if t == 24), None),
            'tagged': lambda *tags: [e for e in xml.iter() if e.tag.split('}')[-1] in tags],
            'file': lambda name: Path(folder, name).read_bytes(), 'PE': lambda name: pefile.PE(os.path.join(folder, name)),
            'of': lambda name: view(os.path.join(folder, name), stub),  # another image's words
            'sh': lambda command: subprocess.run(command, shell=True, cwd=folder, capture_output=True).returncode}


def edit(folder, change, stub):
    """'FILE: statements' on pefile's pe of FILE (or STUB), written as edited.exe; put() and cut() come after pefile's."""
    name, _, statements = change.partition(': ')
    pe, later = pefile.PE(stub if name == 'STUB' else os.path.join(folder, name)), []
    root = pe.DIRECTORY_ENTRY_RESOURCE
    ns = {'pe': pe, 'root': root, 'put': lambda at, data: later.append((at, data)), 'cut': lambda n: later.append((n, None)),
          'rt': lambda kind: next(e for e in root.entries if e.id == pefile.RESOURCE_TYPE[kind])}
    exec(statements, ns)
    data = bytearray(pe.write())
    for at, patch in later:
        data[at:] = b'' if patch is None else patch + data[at + len(patch):]
    write(os.path.join(folder, 'edited.exe'), bytes(data))


def run(tools, folder, stub, words, status, said, change=None, whole=False):
    """A row's run of setup-pack (pack-sweep for SWEEP): exit status, lines said, and no file left but its setup."""
    if change:
        edit(folder, change, stub)
    args, before = shlex.split(words), set(os.listdir(folder))
    program, args = (tools[1], args[1:]) if args[:1] == ['SWEEP'] else (tools[0], args)
    try:
        done = subprocess.run([program] + [stub if w == 'STUB' else w for w in args], cwd=folder, capture_output=True,
                              env=ENV, timeout=300)
    except subprocess.TimeoutExpired:  # a named pipe read without a writer, say
        return 'it did not end within 300 s'
    out = done.stderr.splitlines() if whole else [line.strip() for line in (done.stdout + done.stderr).splitlines()]
    want = [unescape(line.replace('TOOLDIR', os.path.dirname(tools[0]))) for line in said.split(' ; ')] if said else []
    if done.returncode != int(status) or (out != want if whole else not set(want) <= set(out)):
        return 'expected exit %s and %s, got exit %d and %s' % (status, want, done.returncode, out)
    made = set(os.listdir(folder)) - before - {args[args.index('-o') + 1] if '-o' in args[:-1] and not done.returncode else ''}
    return 'it left %s' % sorted(made) if made else None


def check(tools, folder, stub, edits, status, said):
    """A 'check' row: BASE with edits, packed in a fresh folder over an earlier Setup.exe, which a failure must keep."""
    setup = os.path.join(folder, 'Setup.exe')
    for path, data in dict(SOURCES, **{'Setup.exe': b'previous build', 'huge.bin': b''}).items():
        write(os.path.join(folder, path), data)
    os.truncate(os.path.join(folder, 'huge.bin'), 4 << 30)  # sparse: no disk used
    os.mkfifo(os.path.join(folder, 'pipe'))
    write(os.path.join(folder, 'setup.ini'), manifest(edits, folder))
    problem = run(tools, folder, stub, 'setup.ini -o Setup.exe --stub STUB', status, said, whole=True)
    if problem or int(status):
        return problem or (None if Path(setup).read_bytes() == b'previous build' else 'it changed the earlier Setup.exe')
    return None if os.access(setup, os.X_OK) else 'expected an executable setup'


def compare(ns, expression, expected):
    got, want = eval(expression, ns), eval(expected, ns)
    return None if got == want else 'expected %.300r, got %.300r' % (want, got)


def main(tool, sweep, work, real=None):
    if real and not os.path.exists(real):
        print('skipped: no stub at %s (make win builds it)' % real)
        return 77
    shutil.rmtree(work, ignore_errors=True)
    write(os.path.join(work, 'stub.exe'), synthetic_stub())
    stub = real or os.path.join(work, 'stub.exe')
    stub_ns = view(stub, None)
    rows = [[field.strip() for field in re.split(r' \|(?= |$)', line)] for line in
            Path(__file__).with_name('rows.txt').read_text(encoding='utf-8').splitlines() if line.strip() and line[0] != '#']
    failed, passed, folder, setup, roundtrip = [], 0, None, None, True
    for i, (head, *fields) in enumerate(rows):
        kind, name = head.split(None, 1)
        roundtrip = roundtrip and name != 'layout'  # with the real stub: the rows up to 'layout', and the 'real' rows
        if (kind == 'real') != bool(real) and not (real and roundtrip):
            continue
        try:
            problem = None
            if kind == 'check':
                folder, setup = os.path.join(work, '%03d' % i), None
                problem, fields = check((tool, sweep), folder, stub, *fields[:3]), fields[3:]
            elif kind == 'run':
                own = 3 + (len(fields) % 2 == 0)  # an edit makes the count even
                problem, fields = run((tool, sweep), folder, stub, *fields[:own]), fields[own:]
            if fields and not problem:  # a read of what it made, in the same row
                setup = setup or view(os.path.join(folder, 'Setup.exe'), stub_ns)
                problem = kind == 'real' and compare(stub_ns, *fields) or compare(setup, *fields)
        except Exception as error:  # a row that cannot even run fails, with the reason
            problem = 'raised %s: %s' % (type(error).__name__, error)
        if problem:
            failed.append('row %s: %s' % (name, problem))
        passed += not problem
    print('\n'.join(failed))
    print('%d passed, %d failed' % (passed, len(failed)))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
