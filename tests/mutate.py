#!/usr/bin/env python3
"""Mutation check: how many of the known faults in tests/mutants.txt the test suite notices.

Each is applied in a scratch copy of the tree (the checkout is only read), rebuilt and tested as `make test`
does up to the first failure. Exit status: 0 when every applied fault was caught, 1 when one survived or the
suite fails without any fault, 2 for a usage mistake.
"""
import argparse, collections, fnmatch, json, os, pathlib, re, shutil, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
Fault = collections.namedtuple('Fault', 'name path find replace')
# The Wine groups that watch a file most closely run first: a fault there usually costs one group.
FIRST_GROUPS = {
    'src/dialogs/welcome.cpp': 'welcome|hostile|locale_ja', 'src/dialogs/destination.cpp': 'destination',
    'src/dialogs/reinstall.cpp': 'destination', 'src/dialogs/browse.cpp': 'destination',
    'src/dialogs/progress.cpp': 'extraction_journeys|extraction_failures', 'src/setup/limits.h': 'hostile',
    'src/setup/main.cpp': 'failure_exits|journeys|destination|extraction_failures|win64',
    'src/setup/notices.cpp': 'failure_exits|dialog_failures|extraction_failures|destination',
    'src/setup/destination.cpp': 'destination|win64', 'src/setup/extraction.cpp': 'extraction_journeys|extraction_failures',
    'src/setup/uninstall_entry.cpp': 'extraction_journeys|extraction_failures|win64', 'src/setup/state.h': 'hostile',
    'src/package/strings.cpp': 'hostile', 'resources/setup.rc': 'welcome|extraction_journeys|destination',
    'tools/setup-pack/inspect.cpp': 'signed_sample_verifies'}
FAILED_TEST = r'\d+/\d+ Test +#\d+: (\S+) .*(?:Failed|Exception|Timeout)'
FAILURE = {'build': r'(\S+:\d+:\d+: error: .*)', 'unit': FAILED_TEST, 'e2e': FAILED_TEST, 'fuzz': r'fuzzing found faults in: (.*)'}


def read_faults(path):
    faults = []
    for line in open(path, encoding='utf-8').read().splitlines():
        row = re.fullmatch(r'(\S+) +(\S+) +("(?:[^"\\]|\\.)*") +("(?:[^"\\]|\\.)*")', line)
        if not row and line.strip() and not line.startswith('#'):
            sys.exit('mutate: %s: not a row: %s' % (path, line))
        faults += [Fault(row[1], row[2], json.loads(row[3]), json.loads(row[4]))] if row else []
    return faults


def staleness(tree, fault):
    """Why the fault cannot be applied (the code moved on and its row needs rewriting), or '' when it can."""
    path = os.path.join(tree, fault.path)
    count = open(path, encoding='utf-8').read().count(fault.find) if os.path.isfile(path) else -1
    return '' if count == 1 else {-1: 'no such file', 0: 'text not found'}.get(count, 'text found %d times' % count)


def sync(source, scratch):
    """Makes scratch hold the files git lists in source; unchanged ones stay, so that builds are incremental."""
    listed = subprocess.run(['git', '-C', source, 'ls-files', '-z', '--cached', '--others', '--exclude-standard'],
                            capture_output=True, check=True).stdout.decode().split('\0')
    files, record = {p for p in listed if os.path.isfile(os.path.join(source, p))}, scratch + '/.mutate-files'
    for gone in (set(open(record).read().split('\0')) if os.path.exists(record) else set()) - files - {''}:
        pathlib.Path(scratch, gone).unlink(missing_ok=True)
    for src, dst in ((os.path.join(source, p), os.path.join(scratch, p)) for p in files):
        if not os.path.exists(dst) or open(src, 'rb').read() != open(dst, 'rb').read():
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy2(src, dst)
    open(record, 'w').write('\0'.join(sorted(files)))


def first_failure(stage, output):
    """What failed first: the Wine runner's row (a line 'FAIL row: ...'), the test, fuzz target or compiler error.
    A test package that setup-pack refuses (one at a shared limit that shrank) is a failed test, not a build."""
    refused = re.search(r'e2e/packages/(\w+)/Setup\.exe\] Error', output) if stage == 'build' else None
    if refused:
        return 'package', 'setup-pack refused test package ' + refused[1]
    test = re.search(FAILURE[stage], output)
    row = re.search(r'^FAIL ([^:\n]+):', output, re.M) if stage == 'e2e' else None
    return stage, ('%s in ' % row[1] if row else '') + (test[1].strip() if test else '')


def run_suite(scratch, log, args, path=None):
    """The first stage that fails and what failed in it, or (None, '') when the whole suite passed."""
    e2e = ['ctest', '--test-dir', 'build/win', '--stop-on-failure', '--output-on-failure']
    first = '^e2e\\.(%s)$' % FIRST_GROUPS[path] if path in FIRST_GROUPS else None
    stages = {'build': [['make', '-s', 'host'] + ([] if args.host else ['win'])],
              'unit': [['ctest', '--test-dir', 'build/host', '--stop-on-failure', '-j', str(os.cpu_count() or 2)]],
              'e2e': [] if args.host else [e2e + ['-R', first], e2e + ['-E', first]] if first else [e2e],
              'fuzz': [['bash', 'fuzz/run.sh', '--brief', 'all', str(args.fuzz_seconds)]]}
    for stage, commands in stages.items():
        output = ''
        for command in commands:
            done = subprocess.run(command, cwd=scratch, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                  errors='replace')
            output += done.stdout
            log.write('$ %s\n%s\n' % (' '.join(command), done.stdout))
            if done.returncode != 0:
                return first_failure(stage, output)
    return None, ''


def run_fault(scratch, fault, args):
    path, log = os.path.join(scratch, fault.path), open('%s/mutate-logs/%s.log' % (scratch, fault.name), 'w', 1)
    original = open(path, encoding='utf-8').read()
    open(path, 'w', encoding='utf-8').write(original.replace(fault.find, fault.replace, 1))
    try:
        return run_suite(scratch, log, args, fault.path)
    finally:
        open(path, 'w', encoding='utf-8').write(original)


def check(scratch, faults, args):
    if not args.no_baseline:
        stage, what = run_suite(scratch, open(scratch + '/mutate-logs/baseline.log', 'w', 1), args)
        print('the suite fails without any fault (%s: %s)' % (stage, what) if stage else 'baseline passes', flush=True)
        if stage:
            return 1
    results = collections.defaultdict(list)
    for fault in faults:
        started, why = time.time(), staleness(scratch, fault)
        stage, what = ('stale', fault.path + ': ' + why) if why else run_fault(scratch, fault, args)
        kind = {None: 'survived', 'build': 'no build', 'stale': 'stale'}.get(stage, 'caught')
        results[kind].append(fault)
        note = what if why or not stage else '%s: %s' % (stage, what or '(see its log)')
        print('%-9s %-40s %4.0f s  %s' % (kind, fault.name, time.time() - started, note), flush=True)
    print('\nscore: %d of %d applied faults caught (%d stale, %d did not build)' % (len(results['caught']),
          len(results['caught']) + len(results['survived']), len(results['stale']), len(results['no build'])))
    for fault in results['survived']:
        print('survived: %s (%s): %r -> %r' % (fault.name, fault.path, fault.find, fault.replace))
    return 1 if results['survived'] else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--list', action='store_true', help='list the faults and whether each is stale')
    parser.add_argument('--only', action='append', default=[], help='fault names or shell patterns, comma-separated')
    parser.add_argument('--work', help='scratch folder to keep and reuse (default: a temporary one)')
    parser.add_argument('--source', default=ROOT, help='the tree to check (default: this checkout)')
    parser.add_argument('--no-baseline', action='store_true', help='skip the run of the suite without a fault')
    parser.add_argument('--host', action='store_true', help='skip the Wine stage (and the Windows build)')
    parser.add_argument('--fuzz-seconds', type=int, default=2, help='seconds per fuzz target (default 2)')
    args = parser.parse_args()
    source, faults = os.path.abspath(args.source), read_faults(os.path.join(ROOT, 'tests', 'mutants.txt'))
    wanted = [n for part in args.only for n in part.split(',') if n] or ['*']
    unknown = [w for w in wanted if not any(fnmatch.fnmatchcase(f.name, w) for f in faults)]
    if unknown:
        parser.error('no fault named %s; see --list' % ', '.join(unknown))
    faults = [f for f in faults if any(fnmatch.fnmatchcase(f.name, w) for w in wanted)]
    if args.list:
        return print('\n'.join('%-40s %-36s %s' % (f.name, f.path, staleness(source, f) or 'ok') for f in faults))
    scratch = os.path.abspath(args.work) if args.work else tempfile.mkdtemp(prefix='mutate-')
    if os.path.commonpath([scratch, source]) in (source, scratch):
        parser.error('the scratch folder %s must lie outside the tree %s, which is only read' % (scratch, source))
    os.makedirs(scratch + '/mutate-logs', exist_ok=True)
    print('scratch tree: %s' % scratch, flush=True)
    try:
        sync(source, scratch)
        return check(scratch, faults, args)
    finally:
        if not args.work:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
