#!/usr/bin/env python3
"""Mutation check: how many of the known faults in tests/mutants.txt the test suite notices. Each is applied in
a scratch copy of the tree (the checkout is only read), rebuilt and tested as `make test` does up to the first
failure; one whose text is not in its file exactly once is stale (its row needs rewriting). Exit status: 0 when
every applied fault was caught, 1 when one survived or the suite fails without any fault, 2 for a usage mistake."""
import argparse, collections, fnmatch, json, os, pathlib, re, shutil, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
Fault = collections.namedtuple('Fault', 'name path find replace')
# By a fault's name up to its dot: the Wine groups that watch that code run first, so a fault there costs one.
# Every row runs on 32-bit Windows; the locales show a W call turned A, the 64-bit prefix the registry views.
FIRST_GROUPS = {'main': 'win32|win64', 'destination': 'win32|win64', 'entry': 'win32|win64', 'scope': 'win32|win64',
                'pack': 'signed_sample_verifies'}
FAILURE = {'build': r'(\S+:\d+:\d+: error: .*)', 'fuzz': r'fuzzing found faults in: (.*)',
           'ctest': r'\d+/\d+ Test +#\d+: (\S+) .*(?:Failed|Exception|Timeout)'}
# The window-free sources that the host build compiles and its unit rows test.
PURE = re.findall(r'/(src/\S+\.cpp)', open(os.path.join(ROOT, 'CMakeLists.txt')).read().split('PURE_SOURCES')[1])
MERGED = dict(stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors='replace')


def read_faults(path):
    text = open(path, encoding='utf-8').read()
    rows = re.findall(r'^(\S+) +(\S+) +("(?:[^"\\]|\\.)*") +("(?:[^"\\]|\\.)*")$', text, re.M)
    if len(rows) != len([line for line in text.splitlines() if line.strip() and not line.startswith('#')]):
        sys.exit('mutate: %s holds a line that is neither a row nor a comment' % path)
    return [Fault(name, file, json.loads(find), json.loads(replace)) for name, file, find, replace in rows]


def staleness(tree, fault):
    path = os.path.join(tree, fault.path)
    count = open(path, encoding='utf-8').read().count(fault.find) if os.path.isfile(path) else -1
    return '' if count == 1 else {-1: 'no such file', 0: 'text not found'}.get(count, 'text found %d times' % count)


def sync(source, scratch):
    """Makes scratch hold the files git lists in source; unchanged ones stay, so that builds are incremental."""
    listed = subprocess.check_output(['git', '-C', source, 'ls-files', '-zco', '--exclude-standard']).decode()
    files = {p for p in listed.split('\0') if os.path.isfile(os.path.join(source, p))}
    record = os.path.join(scratch, '.mutate-files')
    for gone in (set(open(record).read().split('\0')) if os.path.exists(record) else set()) - files - {''}:
        pathlib.Path(scratch, gone).unlink(missing_ok=True)
    for src, dst in ((os.path.join(source, p), os.path.join(scratch, p)) for p in files):
        if not os.path.exists(dst) or open(src, 'rb').read() != open(dst, 'rb').read():
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            # Copied with a new time: a file a killed run left faulty must not look older than its object.
            shutil.copy(src, dst)
    open(record, 'w').write('\0'.join(sorted(files)))


def first_failure(stage, output):
    """What failed first: the Wine runner's row (a line 'FAIL row: ...'), the test, fuzz target or compiler error.
    A test package that setup-pack refuses (one at a shared limit that shrank) is a failed test, not a build."""
    refused = re.search(r'e2e/packages/(\w+)/Setup\.exe\] Error', output) if stage == 'build' else None
    if refused:
        return 'package', 'setup-pack refused test package ' + refused[1]
    test, row = re.search(FAILURE.get(stage, FAILURE['ctest']), output), re.search(r'^FAIL ([^:\n]+):', output, re.M)
    return stage, ('%s in ' % row[1] if row and stage == 'e2e' else '') + (test[1].strip() if test else '')


def run_suite(scratch, log, args, fault=None):
    """The first stage that fails and what failed in it, or (None, '') when the whole suite passed."""
    e2e = ['ctest', '--test-dir', 'build/win', '--stop-on-failure', '--output-on-failure']
    first = fault and ('locale_.*' if 'ansi' in fault.name else FIRST_GROUPS.get(fault.name.split('.')[0], 'win32'))
    groups = [] if args.host else [e2e + [o, '^e2e\\.(%s)$' % first] for o in ('-R', '-E')] if first else [e2e]
    unit = [['ctest', '--test-dir', 'build/host', '--stop-on-failure', '-j', str(os.cpu_count())]]
    # The product's code outside the shared pure functions only the Wine groups can see: its first group goes
    # before the host tests, which it would pass unchanged.
    early = fault and fault.path.startswith(('src/', 'resources/')) and fault.path not in PURE and groups[:1]
    stages = [('build', [['make', '-s', 'host'] + ([] if args.host else ['win'])]), ('e2e', early or []),
              ('unit', unit), ('e2e', groups[1:] if early else groups),
              ('fuzz', [['bash', 'fuzz/run.sh', '--brief', 'all', '2']])]
    for stage, commands in stages:
        for command in commands:
            # The Wine runner stops at its first failing row: a caught fault costs one row, not a group.
            done = subprocess.run(command, cwd=scratch, env=dict(os.environ, E2E_FIRST_FAILURE='1'), **MERGED)
            log.write('$ %s\n%s\n' % (' '.join(command), done.stdout))
            if done.returncode != 0:
                return first_failure(stage, done.stdout)
    return None, ''


def check(scratch, faults, args):
    os.makedirs(logs := os.path.join(scratch, 'mutate-logs'), exist_ok=True)
    stage, what = run_suite(scratch, open(logs + '/baseline.log', 'w', 1), args)
    if stage:
        print('the suite fails without any fault (%s: %s); see %s/baseline.log' % (stage, what, logs))
        return 1
    kinds = collections.Counter()
    for fault in faults:
        started, why, path = time.time(), staleness(scratch, fault), os.path.join(scratch, fault.path)
        stage, what = 'stale', fault.path + ': ' + why
        if not why:
            original = open(path, encoding='utf-8').read()
            open(path, 'w', encoding='utf-8').write(original.replace(fault.find, fault.replace, 1))
            try:
                stage, what = run_suite(scratch, open('%s/%s.log' % (logs, fault.name), 'w', 1), args, fault)
            finally:
                open(path, 'w', encoding='utf-8').write(original)
            what = '%s: %s' % (stage, what or '(see its log)') if stage else '%r -> %r' % (fault.find, fault.replace)
        kind = {None: 'survived', 'build': 'no build', 'stale': 'stale'}.get(stage, 'caught')
        kinds[kind] += 1
        print('%-9s %-40s %4.0f s  %s' % (kind, fault.name, time.time() - started, what), flush=True)
    print('\nscore: %d of %d applied faults caught (%d stale, %d did not build)'
          % (kinds['caught'], kinds['caught'] + kinds['survived'], kinds['stale'], kinds['no build']))
    return 1 if kinds['survived'] else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--list', action='store_true', help='list the faults and whether each is stale')
    parser.add_argument('--only', action='append', default=[], help='fault names or shell patterns, comma-separated')
    parser.add_argument('--work', help='scratch folder to keep and reuse (default: a temporary one)')
    parser.add_argument('--source', default=ROOT, help='the tree to check (default: this checkout)')
    parser.add_argument('--host', action='store_true', help='skip the Wine stage (and the Windows build)')
    args = parser.parse_args()
    source, faults = os.path.abspath(args.source), read_faults(os.path.join(ROOT, 'tests', 'mutants.txt'))
    chosen = {w: fnmatch.filter([f.name for f in faults], w) for p in args.only or ['*'] for w in p.split(',') if w}
    if not all(chosen.values()):
        parser.error('no fault named %s; see --list' % ', '.join(w for w, names in chosen.items() if not names))
    faults = [f for f in faults if any(f.name in names for names in chosen.values())]
    if args.list:
        return print('\n'.join('%-40s %-36s %s' % (f.name, f.path, staleness(source, f) or 'ok') for f in faults))
    scratch = os.path.abspath(args.work) if args.work else tempfile.mkdtemp(prefix='mutate-')
    if os.path.commonpath([scratch, source]) in (source, scratch):
        parser.error('the scratch folder %s must lie outside the tree %s, which is only read' % (scratch, source))
    print('scratch tree: %s' % scratch, flush=True)
    try:
        sync(source, scratch)
        return check(scratch, faults, args)
    finally:
        if not args.work:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
