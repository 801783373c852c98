#!/usr/bin/env python3
"""Writes a package resource script from a manifest, for linking with the stub."""
import configparser
import os
import sys

manifest, out_rc, search = sys.argv[1], sys.argv[2], sys.argv[3:]
ini = configparser.ConfigParser(delimiters=('=',), comment_prefixes=(';',), interpolation=None)
ini.optionxform = str
ini.read(manifest, encoding='utf-8')
base = os.path.dirname(os.path.abspath(manifest))


def source(path):
    for folder in [base] + search:
        full = os.path.join(folder, path)
        if os.path.exists(full):
            return os.path.abspath(full)
    sys.exit('%s: no source file %s' % (manifest, path))


def rc_string(text):
    return '"' + ''.join('""' if c == '"' else '\\\\' if c == '\\' else '\\n' if c == '\n' else c
                         for c in text) + '"'


def made(name):
    return ''.join(chr(b) if chr(b).isascii() and chr(b).isalpha() else '_'
                   for b in name.encode('cp1252')).upper()


product = ini['product']
files = list(ini['files'].items())
terms = open(os.path.join(base, product['terms']), encoding='utf-8').read().replace('\r\n', '\n')
version = product['version']
parts = (version.split('.') + ['0'] * 4)[:4]
folders = []
for name, _ in files:
    pieces = name.split('\\')[:-1]
    for i in range(1, len(pieces) + 1):
        folder = '\\'.join(pieces[:i])
        if folder.lower() not in [f.lower() for f in folders]:
            folders.append(folder)

lines = ['#pragma code_page(65001)', '#include <windows.h>', 'LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL',
         'STRINGTABLE', 'BEGIN',
         '500 ' + rc_string(product['name']), '501 ' + rc_string(product['program']),
         '502 ' + rc_string(terms)]
lines += ['%d %s' % (9000 + i, rc_string(f)) for i, f in enumerate(folders)]
lines += ['%d %s' % (10000 + i, rc_string(n)) for i, (n, _) in enumerate(files)]
lines += ['END']
seen = set()
for name, path in files:
    if made(name) not in seen:
        seen.add(made(name))
        lines.append('%s RCDATA "%s"' % (made(name), source(path)))
lines += ['1 VERSIONINFO', 'FILEVERSION %s' % ','.join(parts), 'PRODUCTVERSION %s' % ','.join(parts),
          'FILETYPE VFT_APP', 'BEGIN', 'BLOCK "StringFileInfo"', 'BEGIN', 'BLOCK "040904e4"', 'BEGIN',
          'VALUE "FileDescription", ' + rc_string('Setup program for ' + product['name']),
          'VALUE "FileVersion", ' + rc_string(version), 'VALUE "ProductVersion", ' + rc_string(version),
          'VALUE "LegalCopyright", ' + rc_string(product['legal']), 'END', 'END',
          'BLOCK "VarFileInfo"', 'BEGIN', 'VALUE "Translation", 0x0409, 1252', 'END', 'END']
with open(out_rc, 'w', encoding='utf-8') as out:
    out.write('\n'.join(lines) + '\n')
