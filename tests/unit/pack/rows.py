#!/usr/bin/env python3
"""Runs setup-pack's cases (rows.txt beside this file) through its command line; pefile, a reader we did not write,
reads back what it wrote.  rows.py SETUP_PACK --work DIR [--stub STUB]: with --stub, the rows that read a setup run
on one packed into that stub, and the 'real' rows too (77 when it is absent); without, every row on a synthetic stub."""
import argparse
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS = ('name', 'program', 'version', 'legal', 'terms', 'publisher', 'uninstall', 'architecture')
BASE = ['[product]', 'name = Lumivue', 'program = Lumivue.exe', 'version = 7.0', 'legal = (C) 2026 Us',
        'terms = terms.txt', '[files]', 'Lumivue.exe = bin/Lumivue.exe']
SOURCES = {'bin/Lumivue.exe': b'MZ program', 'terms.txt': b'Use it well.\n \nThe end.\n', 'x': b'x',
           'a.txt': b'h' * 4096 + b'same bytes', 'b.txt': b'h' * 4096 + b'same bytes', 'c.txt': b'h' * 4096 + b'other byte'}
# A sanitizer's report must not pass for setup-pack's own exit status 1.
ENV = dict(os.environ, ASAN_OPTIONS='exitcode=86', UBSAN_OPTIONS='exitcode=86:print_stacktrace=1')


def unescape(text):
    """Table text as bytes: {t*n} is t n times; \\xHH, \\n, \\r, \\t and \\0 those bytes; other backslashes stand."""
    while re.search(r'\{[^{}]+\*\d+\}', text):  # innermost first
        text = re.sub(r'\{([^{}]+)\*(\d+)\}', lambda m: m[1] * int(m[2]), text)
    codes = {b'n': b'\n', b'r': b'\r', b't': b'\t', b'0': b'\0'}
    return re.sub(rb'\\(x[0-9A-F]{2}|[nrt0])',
                  lambda m: bytes([int(m[1][1:], 16)]) if len(m[1]) == 3 else codes[m[1]], text.encode())


def resources(items, rva):
    """A resource section for {(type, name, language): data}: the tables breadth first, data entries, names, data."""
    tree, order = {}, lambda d: sorted(d, key=lambda k: (isinstance(k, int), k))
    for (kind, name, language), data in items.items():
        tree.setdefault(kind, {}).setdefault(name, {})[language] = data
    tables = [tree]
    for table in tables:
        tables += [table[k] for k in order(table) if isinstance(table[k], dict)]
    table_at = {id(t): sum(16 + 8 * len(u) for u in tables[:i]) for i, t in enumerate(tables)}
    leaves = [t[k] for t in tables for k in order(t) if not isinstance(t[k], dict)]
    entries = sum(16 + 8 * len(t) for t in tables)
    name_at, blob = {}, b''
    for n in (k for t in tables for k in order(t) if isinstance(k, str)):
        name_at[n] = entries + 16 * len(leaves) + len(blob)
        blob += struct.pack('<H', len(n)) + n.encode('utf-16-le')
    data_at = -(-(entries + 16 * len(leaves) + len(blob)) // 8) * 8
    out, leaf = b'', 0
    for t in tables:
        ids = sum(isinstance(k, int) for k in t)
        out += struct.pack('<IIHHHH', 0, 0, 0, 0, len(t) - ids, ids)
        for k in order(t):
            key = k if isinstance(k, int) else 0x80000000 | name_at[k]
            nested = isinstance(t[k], dict)
            out += struct.pack('<II', key, 0x80000000 | table_at[id(t[k])] if nested else entries + 16 * leaf)
            leaf += not nested
    data = b''
    for blob_leaf in leaves:
        out += struct.pack('<IIII', rva + data_at + len(data), len(blob_leaf), 0, 0)
        data += blob_leaf + b'\0' * (-len(blob_leaf) % 8)
    return out + blob + b'\0' * (data_at - len(out) - len(blob)) + data


def string_block(strings):
    return b''.join(struct.pack('<H', len(strings.get(i, ''))) + strings.get(i, '').encode('utf-16-le') for i in range(16))


def synthetic_stub():
    """A PE32 image as a linker makes it: code, resources (two dialogs, one named; the messages 202, 205 and 212),
    and relocations for the code's one address."""
    rsrc = resources({(5, 10, 0): b'\x22' * 30, (5, 'ABOUT', 0): b'\x33' * 30,
                      (6, 13, 0): string_block({10: 'Welcome to %s!', 13: 'The installation process failed!'}),
                      (6, 14, 0): string_block({4: "Warning: Couldn't launch '%s'"})}, 0x2000)
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
    code = b'\xB8\x00\x10\x40\x00\xC3'.ljust(0x200, b'\0')  # mov eax, 0x401000; ret
    return head.ljust(0x200, b'\0') + code + rsrc.ljust(raw, b'\0') + struct.pack('<IIH', 0x1000, 12, 0x3001).ljust(0x200, b'\0')


def manifest(edits, folder):
    """The base manifest with a row's edits, ' ; ' between them: 'key = value' for a product key replaces its line
    or joins [product], as '+line' does; '-start' drops the line that starts so, '^line' comes first, '>file = text'
    writes a source file, and any other line is added at the end."""
    lines = list(BASE)
    for item in filter(None, edits.split(' ; ')):
        key = item.split('=')[0].strip()
        if item[0] == '>':
            name, _, text = item[1:].partition(' =')
            write(os.path.join(folder, unescape(name).decode()), unescape(text[1:]))
        elif item[0] == '-':
            lines.remove(next(line for line in lines if line.startswith(item[1:])))
        elif item[0] == '^':
            lines.insert(0, item[1:])
        elif key in KEYS and any(line.split(' =')[0] == key for line in lines):
            lines[[line.split(' =')[0] for line in lines].index(key)] = item
        elif key in KEYS or item[0] == '+':
            lines.insert(lines.index('[files]'), item.lstrip('+'))
        else:
            lines.append(item)
    return b''.join(unescape(line) + b'\n' for line in lines)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def view(path, stub):
    """What the expressions of 'read' and 'real' rows may name, as pefile reads the image at path."""
    pe, folder = pefile.PE(path), os.path.dirname(path)
    ns = {'pe': pe, 'data': read(path), 'stub': stub, 's': {}, 'langs': set(), 'payload': {}, 'at': {}, 'types': set(),
          'offsets': [], 'unordered': [], 'info': {}, 'table': None, 'file': lambda name: read(os.path.join(folder, name)),
          'PE': lambda name: pefile.PE(os.path.join(folder, name)), 'thunks': lambda rva: thunks(pe, rva),
          'texts': lambda tag, attribute=None: texts(pe, tag, attribute)}
    tables = [('', getattr(pe, 'DIRECTORY_ENTRY_RESOURCE', None))]
    for where, table in tables:  # the loader binary-searches: names first, in order, then ids ascending
        keys = [(0, str(e.name)) if e.name is not None else (1, e.id) for e in getattr(table, 'entries', [])]
        if keys != sorted(set(keys)) or table.struct.NumberOfNamedEntries != sum(k[0] == 0 for k in keys):
            ns['unordered'].append(where or 'root')
        tables += [('%s/%s' % (where, k[1]), e.directory) for k, e in zip(keys, table.entries) if hasattr(e, 'directory')]
    for kind in getattr(tables[0][1], 'entries', []):
        ns['types'].add(kind.id)
        for entry in kind.directory.entries:
            ns['s'].update({i: t for i, t in getattr(entry.directory, 'strings', {}).items() if t})
            for lang in entry.directory.entries:
                ns['langs'].add((kind.id, lang.id))
                ns['offsets'].append(lang.data.struct.OffsetToData)
                if kind.id == pefile.RESOURCE_TYPE['RT_RCDATA']:
                    ns['payload'][entry.name or entry.id] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                    ns['at'][entry.name or entry.id] = lang.data.struct.OffsetToData
    for info in getattr(pe, 'FileInfo', [[]])[0]:
        for table in getattr(info, 'StringTable', []):
            ns['info'], ns['table'] = {k.decode(): v.decode() for k, v in table.entries.items()}, table.LangID
    return ns


def thunks(pe, rva):
    """The entries of an import lookup or address table, up to its terminating zero."""
    found = []
    while rva and pe.get_dword_at_rva(rva + 4 * len(found)):
        found.append(pe.get_dword_at_rva(rva + 4 * len(found)))
    return found


def texts(pe, tag, attribute=None):
    """Every text (or attribute) of the elements named tag in the application manifest, RT_MANIFEST 1."""
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for entry in kind.directory.entries if kind.id == pefile.RESOURCE_TYPE['RT_MANIFEST'] and kind.directory else []:
            if entry.id == 1:
                data = entry.directory.entries[0].data.struct
                root = ElementTree.fromstring(pe.get_data(data.OffsetToData, data.Size))
                return [e.get(attribute) if attribute else e.text for e in root.iter() if e.tag.split('}')[-1] == tag]
    return ['no RT_MANIFEST 1']


def run(tool, args, cwd):
    done = subprocess.run([tool] + args, cwd=cwd, capture_output=True, env=ENV)
    return done.returncode, done.stdout + done.stderr, done.stderr


def edit(folder, spec, stub):
    """'FILE: statements' on pefile's reading of FILE (STUB: the stub), written as edited.exe. The statements may
    name pe; root, rt(type name) and leaf(n) of its resources; rel(structure), its offset from the root; and
    put(at, bytes), cut(size) and sign(certificate), which change the bytes after pefile has written them."""
    name, _, statements = spec.partition(': ')
    pe, later = pefile.PE(stub if name == 'STUB' else os.path.join(folder, name)), []
    root = pe.DIRECTORY_ENTRY_RESOURCE
    end = len(pe.__data__)
    ns = {'pe': pe, 'root': root, 'put': lambda at, data: later.append((at, data)),
          'cut': lambda size: later.append((size, None)),
          'rel': lambda structure: structure.get_file_offset() - root.struct.get_file_offset(),
          'rt': lambda kind: next(e for e in root.entries if e.id == pefile.RESOURCE_TYPE[kind]),
          'leaf': lambda n: [l for t in root.entries for e in t.directory.entries for l in e.directory.entries][n]}
    ns['sign'] = lambda blob: (setattr(pe.OPTIONAL_HEADER.DATA_DIRECTORY[4], 'VirtualAddress', end),
                               setattr(pe.OPTIONAL_HEADER.DATA_DIRECTORY[4], 'Size', len(blob)), later.append((end, blob)))
    exec(statements, ns)
    data = bytearray(pe.write())
    for at, patch in later:
        data[at:] = b'' if patch is None else patch + data[at + len(patch):]
    write(os.path.join(folder, 'edited.exe'), bytes(data))


def lines(text):
    return '\n  '.join(repr(line.decode(errors='replace'))[1:-1] for line in text) or '(nothing)'


def check(tool, folder, stub, edits, status, said):
    """Builds the base manifest with edits in a fresh folder: the exit status and stderr whole; a failure must
    leave the folder as it was, an earlier setup included, and a success an executable setup."""
    for path, data in SOURCES.items():
        write(os.path.join(folder, path), data)
    os.mkfifo(os.path.join(folder, 'pipe'))
    with open(os.path.join(folder, 'huge.bin'), 'wb') as f:
        f.truncate(1600 << 20)  # sparse: no disk used
    write(os.path.join(folder, 'setup.ini'), manifest(edits, folder))
    setup = os.path.join(folder, 'Setup.exe')
    write(setup, b'previous build')
    before = sorted(os.listdir(folder))
    got, _, err = run(tool, ['setup.ini', '-o', 'Setup.exe', '--stub', stub], folder)
    want = [unescape(line) for line in said.split(' ; ')] if said else []
    if got != int(status) or err.splitlines() != want:
        return 'expected exit %s and\n  %s\ngot exit %d and\n  %s' % (status, lines(want), got, lines(err.splitlines()))
    if got and (read(setup) != b'previous build' or sorted(os.listdir(folder)) != before):
        return 'the failed build left %s' % sorted(set(os.listdir(folder)) - set(before)) or 'Setup.exe changed'
    if not got and not os.access(setup, os.X_OK):
        return 'expected an executable setup'
    return None


def compare(ns, expression, expected):
    got, want = eval(expression, ns), eval(expected, ns)
    return None if got == want else 'expected %.300r, got %.300r' % (want, got)


def run_row(tool, folder, stub, words, status, line, spec=None):
    """Runs a 'run' row: its exit status, the line among its output, and the folder as it was but for its setup."""
    if spec:
        edit(folder, spec, stub)
    before = set(os.listdir(folder))
    args = [stub if w == 'STUB' else w for w in shlex.split(words)]
    got, out, _ = run(tool, args, folder)
    want = unescape(line.replace('TOOLDIR', os.path.dirname(tool)))
    if got != int(status) or line and want not in [text.strip() for text in out.splitlines()]:
        return 'expected exit %s and the line\n  %s\ngot exit %d and\n  %s' % (status, lines([want]), got, lines(out.splitlines()))
    made = set(os.listdir(folder)) - before - ({args[args.index('-o') + 1]} if '-o' in args[:-1] and not got else set())
    return 'it left %s' % sorted(made) if made else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('setup_pack')
    parser.add_argument('--sweep', required=True, help='the in-process reader of every cut and garbled setup')
    parser.add_argument('--work', required=True)
    parser.add_argument('--stub')
    args = parser.parse_args()
    if args.stub and not os.path.exists(args.stub):
        print('skipped: no stub at %s (make win builds it)' % args.stub)
        return 77
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    stub = args.stub or os.path.join(args.work, 'stub.exe')
    if not args.stub:
        write(stub, synthetic_stub())
    stub_ns = view(stub, None)
    with open(os.path.join(HERE, 'rows.txt'), encoding='utf-8') as f:
        rows = [[field.strip() for field in re.split(r' \|(?= |$)', line.rstrip('\n'))] for line in f
                if line.strip() and not line.startswith('#')]
    failed, passed, folder, setup, roundtrip = [], 0, None, None, True
    for i, (head, *fields) in enumerate(rows):
        kind, name = head.split(None, 1)
        roundtrip = roundtrip and name != 'layout'  # with the real stub, the rows up to 'layout' and the 'real' rows
        if (kind == 'real') != bool(args.stub) and not (args.stub and roundtrip):
            continue
        try:
            if kind == 'check':
                folder, setup = os.path.join(args.work, '%03d' % i), None
                problem = check(args.setup_pack, folder, stub, *fields)
            elif kind == 'run':
                problem = run_row(args.setup_pack, folder, stub, *fields)
            elif kind == 'sweep':
                done = subprocess.run([args.sweep, fields[0]], cwd=folder, capture_output=True, env=ENV)
                problem = done.returncode and 'exit %d: %s' % (done.returncode, done.stderr.decode(errors='replace')[-2000:])
            else:
                setup = setup or view(os.path.join(folder, 'Setup.exe'), stub_ns)
                problem = compare(setup, *fields) if kind == 'read' else compare(stub_ns, *fields) or compare(setup, *fields)
        except Exception as error:  # a row that cannot even be run fails with its reason
            problem = 'raised %s: %s' % (type(error).__name__, error)
        if problem:
            failed.append('row %s: %s' % (name, problem))
        passed += not problem
    print('\n'.join(failed))
    print('%d passed, %d failed' % (passed, len(failed)))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
