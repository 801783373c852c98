#!/usr/bin/env python3
"""Install, packaging and footprint figures side by side; writes docs/performance.md and its chart.

Run through `make bench`, which builds the tools and starts one Xvfb display with one persistent
Wine server for every Wine run. Environment: BENCH_RUNS (default 5), BENCH_SHAPES (default
"small many large"; the real files, Wine's DLLs and the sample's, always run), BENCH_GIB=1 to
also package a 1 GiB payload for the memory figure, BENCH_SCALE_MIB="1500 1600" to build and
install payloads of those sizes once each.
"""
import configparser
import filecmp
import lzma
import os
import pathlib
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

from gen_payload import write_package

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
B = os.path.join(ROOT, 'build', 'bench')
RUNS = int(os.environ.get('BENCH_RUNS', '5'))
SHAPES = os.environ.get('BENCH_SHAPES', 'small many large').split()
PACK = os.path.join(ROOT, 'build', 'host', 'bin', 'setup-pack')
STUB = os.path.join(ROOT, 'build', 'win', 'stub', 'Setup.exe')
MINGW = 'i686-w64-mingw32-'
DEST = os.path.join(B, 'out', 'dest')
WINE_DLLS = '/usr/lib/i386-linux-gnu/wine/i386-windows'
WINE_LABEL = 'Wine DLLs, every 9th'
STUB_BEFORE = 20480  # the stub before per-user packages, which may grow it by 1 KiB (the decoder took 2.5 of its 4)
# setup-pack's encoder: preset 6 searching 12 deep, a dictionary of the payload in 64 KiB steps up to 16 MiB.
LZMA1 = {'id': lzma.FILTER_LZMA1, 'preset': 6, 'depth': 12, 'lc': 3, 'lp': 0, 'pb': 2}


def sh(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw)


def wine_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def payload(shape):
    folder = os.path.join(B, 'payload', shape)
    if not os.path.exists(os.path.join(folder, 'stored.ini')):
        sh([sys.executable, os.path.join(ROOT, 'bench', 'gen_payload.py'), shape, folder])
    return folder


def payload_bytes(folder):
    files = os.path.join(folder, 'files')
    return sum(os.path.getsize(os.path.join(files, f)) for f in os.listdir(files))


def timed_v(args):
    """Wall seconds and peak resident MiB of one command, from GNU time."""
    out = subprocess.run(['/usr/bin/time', '-v'] + args, check=True, capture_output=True, text=True)
    wall = re.search(r'Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)', out.stderr)
    h, m, s = wall.group(1) or 0, wall.group(2), wall.group(3)
    rss = int(re.search(r'Maximum resident set size \(kbytes\): (\d+)', out.stderr).group(1))
    return int(h) * 3600 + int(m) * 60 + float(s), rss / 1024.0


# ---- building what is measured --------------------------------------------------------------

def build_tools():
    os.makedirs(os.path.join(B, 'out'), exist_ok=True)
    flags = ['-O2', '-s', '-static', '-Wl,--no-insert-timestamp']
    sh([MINGW + 'g++'] + flags + ['-o', os.path.join(B, 'bench_driver.exe'),
                                 os.path.join(ROOT, 'bench', 'bench_driver.cpp')])
    sh([MINGW + 'g++', '-Os', '-fno-exceptions', '-fno-rtti', '-c', '-o', os.path.join(B, 'refwriter.o'),
        os.path.join(ROOT, 'bench', 'refwriter.cpp')])


def build_refwriter(name, files, align):
    """The reference writer with the payload as RCDATA entries, linked by ld at the given file alignment.

    Each entry is named by its file's own name, which windres keeps in upper case, so the writer
    creates the names Setup.exe creates; the report's "How it is measured" says why that matters."""
    rc = os.path.join(B, name + '.rc')
    with open(rc, 'w') as out:
        for f in files:
            # The LANGUAGE line keeps windres from joining a path and the next name into one string.
            out.write('LANGUAGE 9, 1\n"%s" RCDATA "%s"\n' % (os.path.basename(f), f))
    res = os.path.join(B, name + '.res.o')
    sh([MINGW + 'windres', rc, '-O', 'coff', '-o', res])
    exe = os.path.join(B, name + '.exe')
    sh([MINGW + 'g++', '-nostdlib', '-nostartfiles', '-mwindows', '-s', '-Wl,--entry=_RefEntry',
        '-Wl,--file-alignment=%d' % align, '-Wl,--disable-reloc-section', '-o', exe,
        os.path.join(B, 'refwriter.o'), res, '-lkernel32'])
    return exe


def build_nsis(folder, mode):
    exe = os.path.join(B, 'nsis-%s-%s.exe' % (os.path.basename(folder), mode))
    script = sh([sys.executable, os.path.join(ROOT, 'bench', 'nsis_script.py'),
                 os.path.join(folder, 'files'), exe, mode]).stdout
    nsi = exe[:-4] + '.nsi'
    with open(nsi, 'w') as out:
        out.write(script)
    sh(['makensis', '-V1', nsi])
    return exe, nsi


def real_payload(name, sources):
    """Real files under their own names, listed in name order."""
    folder = fresh(os.path.join(B, 'payload', name))
    names = sorted(sources)
    write_package(folder, len(names), lambda i, f: f.write(pathlib.Path(sources[names[i]]).read_bytes()), names)
    return folder


def real_payloads():
    """Every 9th file of Wine's i386 Windows folder by name, and the sample's files under the names it lists."""
    sample = configparser.ConfigParser(interpolation=None)
    sample.optionxform = str
    sample.read(os.path.join(ROOT, 'sample', 'lumivue', 'lumivue.ini'), encoding='utf-8')
    files = {name: os.path.join(ROOT, 'sample', 'lumivue', path) for name, path in sample['files'].items()}
    files['Lumivue.exe'] = os.path.join(ROOT, 'build', 'win', 'sample', 'Lumivue.exe')
    dlls = {name: os.path.join(WINE_DLLS, name) for name in sorted(os.listdir(WINE_DLLS))[8::9]}
    return {WINE_LABEL: real_payload('wine-dlls', dlls), 'sample': real_payload('sample', files)}


def per_file_bytes(folder):
    """Each file compressed alone as setup-pack compresses its block: a per-file layout's payload."""
    files = os.path.join(folder, 'files')
    lzma1 = dict(LZMA1, dict_size=min(max(-(-payload_bytes(folder) // (64 << 10)), 1) << 16, 16 << 20))
    return sum(len(lzma.compress(pathlib.Path(files, f).read_bytes(), lzma.FORMAT_RAW, filters=[lzma1]))
               for f in os.listdir(files))


def empty_manifest():
    # setup-pack refuses a package with no files: the baseline carries one empty file.
    return write_package(os.path.join(B, 'payload', 'empty'), 1, lambda i, f: None)


# ---- running and verifying ------------------------------------------------------------------

def wine(args):
    # A file, not a pipe: Wine's service processes inherit the output and outlive the run.
    with open(os.path.join(B, 'driver.out'), 'w+') as out:
        subprocess.run(['wine', os.path.join(B, 'bench_driver.exe')] + args, check=True, stdout=out,
                       stderr=subprocess.DEVNULL)
        out.seek(0)
        figures = {k: float(v) for k, v in re.findall(r'(\w+) ([\d.]+)', out.read())}
    if figures.get('status') != 0:
        sys.exit('bench: %s ended with status %s' % (' '.join(args), figures.get('status')))
    del figures['status']
    return figures


def verify(dest, folder, rename=lambda n: n):
    files = os.path.join(folder, 'files')
    for name in os.listdir(files):
        target = os.path.join(dest, rename(name))
        if not filecmp.cmp(os.path.join(files, name), target, shallow=False):
            sys.exit('bench: %s differs from its payload' % target)


def measure(label, run, verify_run):
    """A warm-up, then RUNS runs; every run verified byte for byte. Medians of each figure."""
    samples = []
    for i in range(RUNS + 1):
        figures = run()
        verify_run()
        if i:
            samples.append(figures)
    result = {k: statistics.median(s[k] for s in samples) for k in samples[0]}
    print('  %-34s %s' % (label, '  '.join('%s %.1f' % kv for kv in sorted(result.items()))), flush=True)
    return result


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    return path


def install_ours(label, setup, folder):
    return measure(label, lambda: wine(['setup', wine_path(setup), wine_path(fresh(DEST))]),
                   lambda: verify(DEST, folder))


def install_nsis(label, exe, folder):
    return measure(label, lambda: wine(['run', wine_path(exe), '/S', '/D=' + wine_path(fresh(DEST))]),
                   lambda: verify(DEST, folder))


def install_figures(shape, folder):
    files = sorted(os.path.join(folder, 'files', f) for f in os.listdir(os.path.join(folder, 'files')))
    rows = {}

    setup = os.path.join(B, 'setup-%s.exe' % shape)
    sh([PACK, os.path.join(folder, 'stored.ini'), '-o', setup, '--stub', STUB])
    rows['Setup.exe'] = install_ours('Setup.exe', setup, folder)

    for align in (512, 4096):
        ref = build_refwriter('ref-%s-%d' % (shape, align), files, align)
        rows['reference writer, %d' % align] = measure('reference writer, file alignment %d' % align,
            lambda: wine(['run', wine_path(ref), wine_path(fresh(DEST)) + '\\']),
            lambda: verify(DEST, folder, str.upper))

    for mode in ('off', 'lzma'):
        rows['NSIS ' + mode] = install_nsis('NSIS, compression %s' % mode, build_nsis(folder, mode)[0], folder)

    def copy():
        start = time.perf_counter()
        shutil.copytree(os.path.join(folder, 'files'), fresh(DEST))
        os.sync()
        return {'total_ms': 1000 * (time.perf_counter() - start)}
    rows['cp -r + sync'] = measure('cp -r + sync (Linux)', copy, lambda: verify(DEST, folder))
    shutil.rmtree(DEST, ignore_errors=True)
    return rows


def real_figures(folder):
    """The same files packed each way: its size, and its install time as the install table takes it."""
    sizes = {'files': len(os.listdir(os.path.join(folder, 'files'))), 'payload': payload_bytes(folder),
             'per file': os.path.getsize(STUB) + per_file_bytes(folder)}
    times = {}
    for kind, manifest in (('stored', 'stored.ini'), ('solid', 'bench.ini')):
        setup = os.path.join(B, 'real-%s-%s.exe' % (os.path.basename(folder), kind))
        sh([PACK, os.path.join(folder, manifest), '-o', setup, '--stub', STUB])
        sizes[kind], times['ours ' + kind] = os.path.getsize(setup), install_ours(
            'ours, ' + kind, setup, folder)['install_ms']
    for mode in ('zlib', 'lzma'):
        exe = build_nsis(folder, mode)[0]
        sizes['NSIS ' + mode], times['NSIS ' + mode] = os.path.getsize(exe), install_nsis(
            'NSIS, ' + mode, exe, folder)['total_ms']
    return sizes, times


def baselines():
    """The same programs with no payload: what a run costs before any byte is written."""
    empty = os.path.join(B, 'setup-empty.exe')
    sh([PACK, empty_manifest(), '-o', empty, '--stub', STUB])
    ref = build_refwriter('ref-empty', [os.path.join(B, 'payload', 'empty', 'files', 'fileaaa.bin')], 512)
    return {
        'Setup.exe': measure('Setup.exe, no payload', lambda: wine(
            ['setup', wine_path(empty), wine_path(fresh(DEST))]),
            lambda: os.path.exists(os.path.join(DEST, 'fileaaa.bin')) or sys.exit('bench: no fileaaa.bin')),
        'reference writer': measure('reference writer, no payload', lambda: wine(
            ['run', wine_path(ref), wine_path(fresh(DEST)) + '\\']), lambda: None),
    }


def packaging_figures(folder, manifest='stored.ini', mode='off'):
    """Median wall time and peak memory of setup-pack, cp + sync and makensis packing one payload;
    and the setup's bytes beyond its payload."""
    setup = os.path.join(B, 'pack-%s.exe' % os.path.basename(folder))
    copy = os.path.join(B, 'out', 'copy')
    nsis, nsi = build_nsis(folder, mode)
    tools = {'setup-pack': (setup, [PACK, os.path.join(folder, manifest), '-o', setup, '--stub', STUB]),
             'cp + sync': (copy, ['sh', '-c', 'cp -r "$0" "$1" && sync', os.path.join(folder, 'files'), copy]),
             'makensis': (nsis, ['makensis', '-V1', nsi])}
    samples = {tool: [] for tool in tools}
    # Each tool starts with its output gone and nothing left to write back: replacing the last
    # run's 200 MiB setup made setup-pack free it inside its rename, while cp's folder was removed
    # before its clock started, and sync flushed whatever the tools before it had left.
    def clean(path):
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)
        os.sync()
    for _ in range(RUNS):
        for tool, (output, args) in tools.items():
            clean(output)
            samples[tool].append(timed_v(args))
    shutil.rmtree(copy, ignore_errors=True)
    rows = {}
    for tool, s in samples.items():
        rows[tool] = (statistics.median(x[0] for x in s), max(x[1] for x in s))
        print('  %-34s wall %.2f s  peak %.1f MiB' % (tool, rows[tool][0], rows[tool][1]), flush=True)
    return rows, os.path.getsize(setup) - payload_bytes(folder)


def gib_packaging():
    folder = os.path.join(B, 'payload', 'gib')
    if not os.path.exists(os.path.join(folder, 'stored.ini')):
        block = os.urandom(1 << 20)
        write_package(folder, 64, lambda i, f: [f.write(block) for _ in range(16)])
    target = os.path.join(B, 'pack-gib.exe')
    wall, peak = timed_v([PACK, os.path.join(folder, 'stored.ini'), '-o', target, '--stub', STUB])
    os.remove(target)
    print('  setup-pack 1 GiB: wall %.2f s  peak %.1f MiB' % (wall, peak), flush=True)
    return wall, peak


def threshold_figures():
    """Install time of one payload size at both file alignments: where page alignment starts to pay."""
    rows = {}
    for kib in (64, 256, 1024, 4096, 16384):
        folder = os.path.join(B, 'payload', 'align-%d' % kib)
        if not os.path.exists(os.path.join(folder, 'stored.ini')):
            write_package(folder, 1, lambda i, f: f.write(random.Random(kib).randbytes(kib << 10)))
        for align in (512, 4096):
            setup = os.path.join(B, 'setup-align-%d-%d.exe' % (kib, align))
            sh([PACK, os.path.join(folder, 'stored.ini'), '-o', setup, '--stub', STUB, '--align', str(align)])
            rows[(kib, align)] = (measure('%d KiB at alignment %d' % (kib, align), lambda: wine(
                ['setup', wine_path(setup), wine_path(fresh(DEST))]), lambda: verify(DEST, folder))['install_ms'],
                os.path.getsize(setup))
    return rows


def scale_figures(mib):
    """Builds and installs one payload of about `mib` MiB in files of 10 MiB: does it load and install?"""
    folder = os.path.join(B, 'payload', 'scale')
    shutil.rmtree(folder, ignore_errors=True)
    block = os.urandom(10 << 20)
    write_package(folder, mib // 10, lambda i, f: f.write(block[i % 4096:] + block[:i % 4096]))
    setup = os.path.join(B, 'setup-scale.exe')
    packed = subprocess.run([PACK, os.path.join(folder, 'stored.ini'), '-o', setup, '--stub', STUB],
                            capture_output=True, text=True)
    if packed.returncode != 0:
        shutil.rmtree(folder, ignore_errors=True)
        said = [line for line in (packed.stderr + packed.stdout).splitlines() if 'error' in line]
        return 'refused by setup-pack: ' + (said[0] if said else 'status %d' % packed.returncode)
    try:
        figures = wine(['setup', wine_path(setup), wine_path(fresh(DEST))])
        verify(DEST, folder)
        result = 'installed and verified: %.1f s from OK, image %d MiB' % (
            figures['install_ms'] / 1000, os.path.getsize(setup) >> 20)
    except SystemExit as failure:
        result = 'did not install: %s' % failure
    for path in (DEST, folder):
        shutil.rmtree(path, ignore_errors=True)
    os.remove(setup)
    return result


# ---- report ----------------------------------------------------------------------------------

def chart(panels, path):
    """One panel of install times per payload, {payload: {program: ms}}; ours in blue."""
    import matplotlib
    matplotlib.use('Agg')
    import matplotlib.pyplot as plt
    bars = sum(map(len, panels.values()))
    fig, axes = plt.subplots(len(panels), 1, figsize=(8, 1 + 0.3 * bars), squeeze=False)
    for ax, (title, values) in zip(axes[:, 0], panels.items()):
        ax.barh(range(len(values)), list(values.values()),
                color=['#1f5fa8' if n.startswith(('Setup.exe', 'ours')) else '#999999' for n in values])
        ax.set_yticks(range(len(values)))
        ax.set_yticklabels(list(values))
        ax.set_title(title)
        ax.invert_yaxis()
    axes[-1, 0].set_xlabel('ms')
    fig.suptitle('Install time under Wine, median of %d runs' % RUNS)
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def sample_parts(path):
    """The file's bytes by what they hold: headers, each section but the resources, each kind of resource."""
    import pefile
    image = pefile.PE(path)
    kinds = {3: 'icon image', 14: 'icon group', 5: 'dialog templates', 6: 'string table',
             16: 'version block', 10: 'payload entries', 24: 'manifest'}
    sizes = dict.fromkeys(kinds.values(), 0)
    for kind in image.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                sizes[kinds[kind.id]] += language.data.struct.Size
    rsrc = image.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress
    resources = [x for x in image.sections if x.VirtualAddress == rsrc][0]
    labels = {b'.text': 'code', b'.rdata': 'constants and imports', b'.reloc': 'relocations'}
    parts = [('headers', image.sections[0].PointerToRawData)]
    parts += [('%s (%d used)' % (labels.get(x.Name.rstrip(b'\0'), x.Name.decode()), x.Misc_VirtualSize),
               x.SizeOfRawData) for x in image.sections if x.SizeOfRawData and x is not resources]
    parts += [('resources: %s' % k, v) for k, v in sizes.items()]
    parts.append(('resources: directory, entry names and alignment', resources.Misc_VirtualSize - sum(sizes.values())))
    parts.append(('resources: padding to the last 512-byte file block', resources.SizeOfRawData - resources.Misc_VirtualSize))
    return parts


def report(installs, base, packs, footprints, gib, scale, threshold, real, real_packs):
    wine_version = sh(['wine', '--version']).stdout.strip()
    nsis_version = sh(['makensis', '-VERSION']).stdout.strip()
    lines = ['# Performance', '',
             'Measured by `make bench` on %d cores (%s), %s, NSIS %s; medians of %d runs after a warm-up, '
             'every install compared byte for byte with its payload. All Wine runs share one persistent '
             'Wine server on one Xvfb display.' % (os.cpu_count(), platform.processor() or platform.machine(),
                                                   wine_version, nsis_version, RUNS), '',
             '![Install time](performance.png)', '', '## How it is measured', '',
             '- The reference writer names each RCDATA entry after its file and writes it under that name '
             '(in upper case), so it creates the same names as Setup.exe: Wine compares a new name that fits '
             '8.3 with the short name of every file already in the folder, which made the 8.3 names of the '
             '2000-file payload 15% dearer than made names (FILEAAA_BIN) would be.',
             '- The timing driver answers the dialogs at once and then watches only the progress dialog '
             'until it closes, so that its searching does not compete with the setup for the Wine server.',
             '- Every packaging run starts with its output removed and the disk synced, so no tool pays '
             'for freeing or flushing what another left.',
             '- The generated payloads are packed with `compression = none`: stored, as the reference writer '
             'stores them, though the setup still checks each file against its CRC-32C.', '',
             '## Install time under Wine (ms)', '',
             'Setup.exe: from OK in the destination dialog to the end of the progress dialog (whole run '
             'in brackets, dialogs answered at once). The others: the whole run.', '',
             '| payload | Setup.exe | reference writer (512) | reference writer (4096) | NSIS off | NSIS LZMA | cp -r + sync |',
             '|---|---|---|---|---|---|---|']
    for shape, rows in installs.items():
        s = rows['Setup.exe']
        lines.append('| %s | %.1f (%.1f) | %.1f | %.1f | %.1f | %.1f | %.1f |' % (
            shape, s['install_ms'], s['total_ms'], rows['reference writer, 512']['total_ms'],
            rows['reference writer, 4096']['total_ms'], rows['NSIS off']['total_ms'],
            rows['NSIS lzma']['total_ms'], rows['cp -r + sync']['total_ms']))
    lines += ['| no payload | %.1f (%.1f) | %.1f | | | | |' % (
        base['Setup.exe']['install_ms'], base['Setup.exe']['total_ms'], base['reference writer']['total_ms']), '',
        '## Real files', '',
        '%s: every 9th file of %s by name, from the 9th: its DLLs, and the programs, drivers and 16-bit DLLs '
        'that fall there. sample: the sample\'s files under the names it lists, without its uninstaller. Ours '
        'stored is packed with `compression = none`, ours solid with the default, one LZMA block. Ours per file '
        'is no setup but the stub plus each file compressed alone as setup-pack compresses the block (raw LZMA1, '
        'lc 3, lp 0, pb 2, preset 6 searching 12 deep, the block\'s dictionary): what a layout of one stream per '
        'file would weigh, less the package\'s own resources (names, strings, index) that the setups carry. NSIS '
        'zlib is its default, each file alone; NSIS LZMA is `/SOLID lzma`.' % (
            WINE_LABEL, WINE_DLLS), '',
        '| files | payload | ours stored | ours solid | ours per file | NSIS zlib | NSIS LZMA |',
        '|---|---|---|---|---|---|---|']
    for label, (sizes, _) in real.items():
        lines.append('| %s | %d files, %s |' % (label, sizes['files'], ' | '.join('%d' % sizes[k] for k in (
            'payload', 'stored', 'solid', 'per file', 'NSIS zlib', 'NSIS lzma'))))
    lines += ['', 'Install time under Wine (ms): ours from OK to the end, as above; NSIS the whole silent run.', '',
              '| files | ours stored | ours solid | NSIS zlib | NSIS LZMA |', '|---|---|---|---|---|']
    for label, (_, times) in real.items():
        lines.append('| %s | %s |' % (label, ' | '.join('%.1f' % t for t in times.values())))
    lines += ['', '## Packaging', '', 'Median wall time, peak resident memory. The generated payloads are packed '
              'stored, makensis storing too; the real files solid, makensis with `/SOLID lzma`.', '',
              '| payload | setup-pack | cp + sync | makensis |', '|---|---|---|---|']
    for shape, rows in list(packs.items()) + list(real_packs.items()):
        lines.append('| %s | %s |' % (shape, ' | '.join('%.2f s, %.0f MiB' % rows[t] for t in
                                                         ('setup-pack', 'cp + sync', 'makensis'))))
    if gib:
        lines.append('| 1 GiB | %.2f s, %.0f MiB | | |' % gib)
    lines += ['', '## File alignment', '',
              'One payload file of each size, installed from a setup built with `--align 512` and with '
              '`--align 4096` (ms from OK to the end of the extraction; file size in brackets).', '',
              '| payload | 512 | 4096 |', '|---|---|---|']
    for kib in sorted({k for k, _ in threshold}):
        lines.append('| %d KiB | %.1f (%d) | %.1f (%d) |' % ((kib,) + threshold[(kib, 512)] + threshold[(kib, 4096)]))
    if scale:
        lines += ['', '## Scale', '', '| payload | result |', '|---|---|']
        lines += ['| %d MiB | %s |' % kv for kv in scale.items()]
    lines += ['', '## Against the goals', '', '| goal | measured | met |', '|---|---|---|']

    def goal(text, measured, met):
        lines.append('| %s | %s | %s |' % (text, measured, 'yes' if met else '**no**'))
    if 'small' in installs:
        extra = installs['small']['Setup.exe']['install_ms'] - base['Setup.exe']['install_ms']
        goal('small: within 20 ms of a Setup.exe with no payload', '+%.1f ms' % extra, extra <= 20)
    # Setup.exe's time from OK also holds the dialogs it opens and closes and the launch that marks
    # the end, which no payload costs too; the net figure is each program's time less its own
    # no-payload run.
    for shape, limit, ref in (('many', 1.05, 'reference writer, 512'), ('large', 1.2, 'reference writer, 4096')):
        if shape not in installs:
            continue
        ours, theirs = installs[shape]['Setup.exe']['install_ms'], installs[shape][ref]['total_ms']
        net = (ours - base['Setup.exe']['install_ms']) / (theirs - base['reference writer']['total_ms'])
        goal('%s: at most %.2f x the %s' % (shape, limit, ref), '%.2f x net (%.2f x as measured)' % (
            net, ours / theirs), net <= limit)
    for shape, rows in packs.items():
        ratio = rows['setup-pack'][0] / max(rows['cp + sync'][0], 0.01)
        goal('packaging %s: at most 1.5 x cp + sync, peak at most 64 MiB' % shape,
             '%.2f x, %.0f MiB' % (ratio, rows['setup-pack'][1]), ratio <= 1.5 and rows['setup-pack'][1] <= 64)
    for label, (sizes, times) in real.items():
        goal('%s: ours solid at most NSIS LZMA\'s size and below NSIS zlib\'s' % label, '%d against %d and %d' % (
            sizes['solid'], sizes['NSIS lzma'], sizes['NSIS zlib']),
            sizes['solid'] <= sizes['NSIS lzma'] and sizes['solid'] < sizes['NSIS zlib'])
        ratio = times['ours solid'] / times['NSIS lzma']
        goal('%s: install at most 0.8 x NSIS LZMA\'s' % label, '%.2f x' % ratio, ratio <= 0.8)
        rows = real_packs[label]
        ratio = rows['setup-pack'][0] / max(rows['makensis'][0], 0.01)
        goal('packaging %s: no slower than makensis LZMA, peak at most 256 MiB' % label,
             '%.2f x, %.0f MiB' % (ratio, rows['setup-pack'][1]), ratio <= 1 and rows['setup-pack'][1] <= 256)
    stub = os.path.getsize(STUB)
    goal('the stub at most %d bytes: %d before per-user packages, and 1 KiB for them' % (STUB_BEFORE + 1024, STUB_BEFORE),
         '%d bytes (%+d)' % (stub, stub - STUB_BEFORE), stub <= STUB_BEFORE + 1024)
    nsis_stub = os.path.getsize('/usr/share/nsis/Stubs/zlib-x86-unicode')
    sample = os.path.join(B, 'real-sample-stored.exe')
    lines += ['', '## Where the sample\'s bytes go', '',
              'build/bench/real-sample-stored.exe, the sample\'s files packed stored, %d bytes, of which the '
              'files are %d.' % (os.path.getsize(sample), real['sample'][0]['payload']),
              'Only the code is ours to shrink: the icon, the dialog templates, the manifest and the '
              'messages are the stub\'s fixed resources, and the names, terms and version block are the '
              'sample package itself, as is each payload file\'s directory entry and name. The headers '
              'take two file blocks: behind the 128-byte DOS header and stub, the PE header and five '
              'section entries come to 576 bytes. Each section is rounded up to a 512-byte block.',
              '', '| part | bytes |', '|---|---|']
    lines += ['| %s | %d |' % part for part in sample_parts(sample)]
    lines += ['', '## Footprint', '', '| what | bytes |', '|---|---|']
    lines += ['| Setup.exe minus payload, %s | %d |' % kv for kv in footprints.items()]
    lines += ['| the stub alone (build/win/stub/Setup.exe) | %d |' % os.path.getsize(STUB),
              '| NSIS stub (zlib-x86-unicode) | %d |' % nsis_stub, '',
              '## Reproduce', '', '```sh', 'make bench                      # all of the above',
              'BENCH_RUNS=9 BENCH_SHAPES=large make bench', 'BENCH_GIB=1 make bench          # also 1 GiB packaging memory',
              '```', '']
    with open(os.path.join(ROOT, 'docs', 'performance.md'), 'w') as out:
        out.write('\n'.join(lines))


def main():
    build_tools()
    installs, packs, footprints = {}, {}, {}
    print('no payload', flush=True)
    base = baselines()
    for shape in SHAPES:
        folder = payload(shape)
        print('%s: install' % shape, flush=True)
        installs[shape] = install_figures(shape, folder)
        print('%s: packaging' % shape, flush=True)
        packs[shape], footprints[shape] = packaging_figures(folder)
    real, real_packs = {}, {}
    for label, folder in real_payloads().items():
        print('%s: sizes and install' % label, flush=True)
        real[label] = real_figures(folder)
        print('%s: packaging' % label, flush=True)
        real_packs[label] = packaging_figures(folder, 'bench.ini', 'lzma')[0]
    print('page alignment threshold', flush=True)
    threshold = threshold_figures()
    gib = gib_packaging() if os.environ.get('BENCH_GIB') else None
    scale = {}
    for mib in [int(m) for m in os.environ.get('BENCH_SCALE_MIB', '').split()]:
        scale[mib] = scale_figures(mib)
        print('  scale %d MiB: %s' % (mib, scale[mib]), flush=True)
    os.makedirs(os.path.join(ROOT, 'docs'), exist_ok=True)
    panels = {shape: {n: r.get('install_ms', r['total_ms']) for n, r in rows.items()}
              for shape, rows in installs.items()}
    panels.update({label: times for label, (_, times) in real.items()})
    chart(panels, os.path.join(ROOT, 'docs', 'performance.png'))
    report(installs, base, packs, footprints, gib, scale, threshold, real, real_packs)
    print('wrote docs/performance.md and docs/performance.png')


if __name__ == '__main__':
    main()
