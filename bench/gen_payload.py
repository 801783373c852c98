#!/usr/bin/env python3
"""Writes a benchmark payload and its manifest, the same bytes for the same arguments.

usage: gen_payload.py small|many|large|zeros OUTDIR
"""
import os
import random
import sys

WORDS = ('lumen view frame pixel colour gamma layer canvas border shadow window folder '
         'picture zoom rotate crop scale filter sharpen blur').split()
SHAPES = {'small': (12, 256 * 1024), 'many': (2000, 4096), 'large': (20, 10 * 1024 * 1024),
          'zeros': (1, 1 << 30)}


def letters_name(index):
    """Made names keep only letters, so names must differ in their letters: base 26."""
    name = ''
    for _ in range(3):
        name = chr(ord('a') + index % 26) + name
        index //= 26
    return 'file' + name


def content(rng, size):
    half = size // 2
    text = []
    length = 0
    while length < half:
        word = rng.choice(WORDS)
        text.append(word)
        length += len(word) + 1
    data = ' '.join(text).encode()[:half]
    return data + rng.randbytes(size - len(data))


def write_package(folder, count, write, names=None):
    """Writes files/<name> for `count` names (made ones unless `names`) through write(index, file), then
    terms.txt and two manifests that list the files in order: bench.ini with the default compression,
    stored.ini stored; returns the stored one. The program is the first file, which no setup can start."""
    names = names or [letters_name(i) + '.bin' for i in range(count)]
    os.makedirs(os.path.join(folder, 'files'), exist_ok=True)
    lines = ['[product]', 'name = Bench', 'program = %s' % names[0], 'version = 1.0',
             'legal = Benchmark payload.', 'terms = terms.txt', '', '[files]']
    for i, name in enumerate(names):
        with open(os.path.join(folder, 'files', name), 'wb') as f:
            write(i, f)
        lines.append('%s = files/%s' % (name, name))
    with open(os.path.join(folder, 'terms.txt'), 'w') as f:
        f.write('Benchmark terms.\n')
    for manifest, stored in (('bench.ini', []), ('stored.ini', ['compression = none'])):
        with open(os.path.join(folder, manifest), 'w', encoding='utf-8') as f:
            f.write('\n'.join(lines[:6] + stored + lines[6:]) + '\n')
    return os.path.join(folder, 'stored.ini')


def main():
    shape, out = sys.argv[1], sys.argv[2]
    count, size = SHAPES[shape]
    rng = random.Random(20261206)
    if shape == 'zeros':
        # One file of 1 GiB made in an instant: a hole on disk, zeros to whoever reads it.
        write_package(out, count, lambda i, f: f.truncate(size))
    else:
        write_package(out, count, lambda i, f: f.write(content(rng, size)))


if __name__ == '__main__':
    main()
