#!/usr/bin/env python3
"""The Linux side of the Wine journeys: reads the tables, makes the test packages, drives each row
through the agent under Wine and compares what the agent saw, and what the row left, with the row.

    run.py --emit DIR                       each package's sources and DIR/packages.cmake
    run.py --env 32|64|ru|el|ja [--only PATTERN] --build DIR --agent EXE ...   the rows of that kind

Every expectation comes from the rows and the package rows, never from a built executable. Each row
starts from a clean state and ends every program it started. E2E_FIRST_FAILURE=1 stops at the first
row that fails.
"""
import fnmatch
import os
import re
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The stub's own texts as a person reads them, escaped as the agent prints them (a line feed is \n).
NAMED = {
    'cancelled': 'The installation process was cancelled!', 'failed': 'The installation process failed!',
    'nodest': "Error: Couldn't create destination directory", 'in-use': "'\\nPossible cause: File in use by Windows.",
    'needs64': 'This product needs 64-bit Windows.', 'corrupt': 'Error: Setup.exe is corrupt',
    'dialog-failed': 'Error: DialogBox() failed',
    'usage': 'Switches: [/S | /P] [/D=folder] [/?]\\n/S: silent; the terms count as accepted, the exit status tells '
             'the result.\\n/P: as /S, with the progress shown.\\n/D=folder: absolute, no quotes, always the last switch.'
             '\\n/?: this message.'}
PROMPT = ('A version of this program has previously been installed on this computer. Would you like the old files '
          'to be replaced with the present files?')
HEADING = 'Please select the directory to install the program into:'
RUNS = "What shows must end where the setup's buffer ends, however far the text runs on. "
CURRENT = r'SOFTWARE\Microsoft\Windows\CurrentVersion'
WINDOWS = ('welcome', 'prompt', 'dest', 'box')
PACKAGE_KEYS = {'product', 'program', 'terms', 'file', 'folder', 'uninstall', 'publisher', 'x64', 'script', 'stub',
                'string', 'entry', 'list', 'messages', 'nodialog', 'gen'}
ROW_KEYS = {'pkg', 'on', 'cwd', 'cmd', 'destination', 'app', 'app32', 'app64', 'pf', 'pf64', 'drive', 'mkdir', 'put',
            'remove', 'hold', 'immutable', 'full', 'tmpfs', 'deny', 'first', 'probe', 'owner', 'poke', 'title',
            'proposal', 'greeting', 'lines', 'browser', 'edit', 'after-esc', 'exit', 'created', 'installed', 'at',
            'in', 'file', 'nothing', 'empty', 'absent', 'link', 'diff', 'gone', 'launch', 'entry', 'entry32',
            'entry64', 'reg', 'program', 'exec', 'template', 'listwidth'} | set(WINDOWS)


class TableError(Exception):
    pass


def rows_of(name, keys):
    """(name, [(key, value)...], where) per row; a line that starts with a blank continues the row above."""
    rows = []
    for number, line in enumerate(open(os.path.join(HERE, name), encoding='utf-8').read().split('\n'), 1):
        if not line.strip() or line.lstrip().startswith('#'):
            continue
        lex = shlex.shlex(line, posix=True)
        lex.whitespace_split, lex.escape, lex.commenters = True, '', ''
        try:
            tokens = list(lex)
        except ValueError as error:
            raise TableError('%s:%d: %s' % (name, number, error))
        if line[0] not in ' \t':
            rows.append((tokens.pop(0), [], '%s:%d' % (name, number)))
        elif not rows:
            raise TableError('%s:%d: a continuation with no row above' % (name, number))
        for token in tokens:
            key, equals, value = token.partition('=')
            if key not in keys:
                raise TableError('%s:%d: %s: unknown key %r' % (name, number, rows[-1][0], key))
            rows[-1][1].append((key, value if equals else None))
    return rows


def unescape(text):
    return text.replace('\\n', '\n').replace('\\t', '\t')


def spelt(text):
    """{runs:N}: N characters of a sentence run on; {to:N}: runs on until the text so far is N long (an
    escaped line feed counts as one)."""
    while re.search(r'\{(runs|to):\d+\}', text):
        found = re.search(r'\{(runs|to):(\d+)\}', text)
        n = int(found.group(2)) - (len(text[:found.start()].replace('\\n', '\n')) if found.group(1) == 'to' else 0)
        text = text[:found.start()] + (RUNS * (n // len(RUNS) + 1))[:n] + text[found.end():]
    return text


# ---- Packages ---------------------------------------------------------------------------------

class Package:
    def __init__(self, name, pairs):
        self.name, self.files, self.folders, self.strings, self.entries, self.fields = name, [], [], {}, [], {}
        for key, value in pairs:
            if key == 'file':
                self.files.append(tuple(value.partition('=')[::2]))
            elif key == 'folder':
                self.folders.append(value)
            elif key == 'string':
                self.strings[int(value.partition('=')[0])] = value.partition('=')[2]
            elif key == 'entry':
                made, _, source = value.partition('=')
                self.entries.append((made if source else made_name(made), source or made))
            else:
                self.fields[key] = True if value is None else value
        self.product, self.program = self.fields.get('product', ''), self.fields.get('program', '')
        self.terms = unescape(self.fields.get('terms', ''))
        if self.terms.startswith('@clauses:'):
            lines = ''.join('Clause %03d: the charts and tables are for planning only.\n' % n for n in range(1, 100))
            self.terms = lines[:int(self.terms[9:])]

    def payload(self, listed):
        """A file's bytes by its rule: a line naming it, or that line to N bytes, empty, or another's bytes."""
        rule = dict(self.files).get(listed, '')
        if rule.startswith('@'):
            return self.payload(rule[1:])
        line = ('%s: a file of %s.\r\n' % (listed, self.product or self.name)).encode()
        size = 0 if rule == 'empty' else int(rule) if rule.isdigit() else len(line)
        return (line * (size // len(line) + 1))[:size]

    def lines(self):
        """The terms as the welcome list shows them: cut at line feeds, up to the first empty piece."""
        pieces = self.terms[:3332].split('\n')
        return pieces[:pieces.index('')] if '' in pieces else pieces


def made_name(listed):
    return ''.join(c.upper() if c.isascii() and c.isalnum() else '_' for c in listed)


def rc_text(text):
    return '"%s"' % text.replace('\\', '\\\\').replace('"', '""').replace('\n', '\\n')


def put(path, data):
    """Writes only what changed, so that a new reading of the table rebuilds only what it changed."""
    data = data.encode() if isinstance(data, str) else data
    if not os.path.exists(path) or open(path, 'rb').read() != data:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)


def emit(packages, out):
    """Each package's manifest, or resource script for shapes setup-pack refuses, with its files; and
    the CMake lines that build them."""
    cmake = []
    for p in packages.values():
        folder, stub = os.path.join(out, p.name), p.fields.get('stub', '')
        if 'nodialog' in p.fields:
            cmake.append('add_dialogless_stub(%s %s)' % (p.name, p.fields['nodialog']))
        elif 'messages' in p.fields:
            strings = ''.join('    %d %s\n' % (n, rc_text(unescape(spelt(t)))) for n, t in sorted(p.strings.items()))
            put(folder + '/messages.rc', '#pragma code_page(65001)\n#include "stub_frame.rc"\nSTRINGTABLE\nBEGIN\n%sEND\n'
                % strings)
            cmake.append('add_message_stub(%s %s/messages.rc)' % (p.name, folder))
        elif 'script' in p.fields:
            write_script(p, folder)
            cmake.append('add_script_setup(%s %s/package.rc "%s")' % (p.name, folder, stub))
        elif 'gen' not in p.fields:
            for i, (listed, rule) in enumerate(p.files):
                if rule != 'probe':
                    put('%s/p%d' % (folder, i), p.payload(listed))
            put(folder + '/terms.txt', p.terms)
            lines = ['[product]', 'name = ' + p.product, 'program = ' + p.program, 'version = 1.0',
                     'legal = A test package of the setup program.', 'terms = terms.txt']
            lines += ['%s = %s' % (k, p.fields[k]) for k in ('uninstall', 'publisher') if k in p.fields]
            lines += ['architecture = x64'] if 'x64' in p.fields else []
            lines += ['[folders]'] + ['folder = ' + f for f in p.folders] if p.folders else []
            lines += ['[files]'] + ['%s = %s' % (listed, 'Tidewater.exe' if rule == 'probe' else 'p%d' % i)
                                    for i, (listed, rule) in enumerate(p.files)]
            put(folder + '/setup.ini', '\n'.join(lines) + '\n')
            cmake.append('add_manifest_setup(%s %s/setup.ini "%s")' % (p.name, folder, stub))
    put(out + '/packages.cmake', '\n'.join(cmake) + '\n')


def write_script(p, folder):
    strings = {500: p.product, 501: p.program, 502: p.terms} if p.fields['script'] is True else {}
    strings.update({9000 + i: f for i, f in enumerate(p.folders)})
    if p.fields.get('list') != 'none':
        strings.update({10000 + i: listed for i, (listed, _) in enumerate(p.files)})
    strings.update({n: unescape(t) for n, t in p.strings.items()})
    lines = ['#pragma code_page(65001)', '#include <windows.h>', 'LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL']
    if any(strings.values()):
        lines += ['STRINGTABLE', 'BEGIN'] + ['    %d %s' % (n, rc_text(t)) for n, t in sorted(strings.items()) if t]
        lines.append('END')
    # Entries named by the made-name rule, as packages made before numbered entries have them; given
    # ones may leave a listed file out or carry a name no listed file has.
    for j, (made, source) in enumerate(p.entries or [(made_name(n), n) for n, _ in p.files]):
        kept = 'Tidewater.exe' if dict(p.files).get(source) == 'probe' else 'e%d' % j
        if kept != 'Tidewater.exe':
            put('%s/%s' % (folder, kept), p.payload(source))
        lines.append('%s RCDATA "%s"' % (made, kept))
    put(folder + '/package.rc', '\n'.join(lines) + '\n')


# ---- The machine a group runs on ------------------------------------------------------------------

def windows_path(linux):
    return 'Z:' + os.path.abspath(linux).replace('/', '\\')


def shell(script):
    return subprocess.run(['sh', '-c', script], capture_output=True, text=True)


def wait(condition, seconds=20):
    end = time.time() + seconds
    while not condition() and time.time() < end:
        time.sleep(0.05)


def tree(root):
    """Every entry below a folder by its path from there, with backslashes; None for no folder."""
    if not os.path.isdir(root):
        return None
    found = []
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root).replace('/', '\\')
        found += [n if rel == '.' else rel + '\\' + n for n in dirs + files]
    return sorted(found)


def deep(base, length):
    """A path of exactly `length` characters below `base`, in levels of 200, that ends in no backslash."""
    path, letter = base, 'a'
    while len(path) < length:
        path, letter = path + '\\' + letter * 200, chr(ord(letter) + 1)
    return path[:length - 1] + ('z' if path[length - 1] == '\\' else path[length - 1])


class Env:
    """One Windows kind and locale: the prefix, its ProgramFilesDir, the scratch area, the built packages."""

    def __init__(self, args, packages):
        self.args, self.kind, self.packages, self.made = args, args['env'], packages, {}
        self.prefix, self.scratch = os.environ['WINEPREFIX'], os.environ['E2E_SCRATCH']
        self.win64, self.pf = self.kind == '64', None

    def exe(self, name):
        if name in ('sample', 'signed'):
            return windows_path(self.args[name])
        if 'gen' in self.packages[name].fields:
            return windows_path(self.generate(name))
        kind = 'stubs' if 'messages' in self.packages[name].fields else 'packages'
        return windows_path(os.path.join(self.args['build'], kind, name, 'Setup.exe'))

    def generate(self, name):
        """A package too big to keep, made by the benchmark's generator when a row first needs it."""
        folder = os.path.join(self.scratch, 'gen-' + name)
        if name not in self.made:
            made = shell('/usr/bin/python3 "%s" %s "%s" && "%s" "%s/bench.ini" -o "%s/Setup.exe" --stub "%s"' % (
                self.args['gen'], self.packages[name].fields['gen'], folder, self.args['setup-pack'], folder, folder,
                self.args['stub']))
            if made.returncode:
                raise TableError('could not make package %s: %s' % (name, made.stderr))
            self.made[name] = folder
        return folder + '/Setup.exe'

    def linux(self, path):
        """Z: is the Linux root, C: the prefix's drive, D: the row's drive folder."""
        base = {'Z:': '/', 'C:': self.prefix + '/drive_c', 'D:': self.scratch + '/d'}[path[:2].upper()]
        return os.path.join(base, path[2:].lstrip('\\').replace('\\', '/'))

    def agent(self, steps, record=''):
        """The agent's observations of the steps, as lists of fields. Its output goes to a file: a
        program the setup starts could hold a pipe open."""
        base = self.scratch + '/agent'
        put(base + '.steps', ''.join('\t'.join(step) + '\n' for step in steps))
        if os.path.exists(base + '.out'):
            os.remove(base + '.out')
        with open(base + '.log', 'w') as log:
            subprocess.run(['wine', self.args['agent'], windows_path(base + '.steps'), windows_path(base + '.out')],
                           stdout=log, stderr=subprocess.STDOUT, env=dict(os.environ, E2E_LAUNCH_RECORD=record),
                           timeout=300)
        if not os.path.exists(base + '.out'):
            return [['error', 'agent', open(base + '.log', errors='replace').read()[-400:]]]
        return [line.split('\t') for line in open(base + '.out', encoding='utf-8').read().splitlines() if line]


# ---- A journey ---------------------------------------------------------------------------------

class Row:
    def __init__(self, env, name, pairs, where):
        self.env, self.name, self.where, self.failures = env, name, where, []
        self.pkg = p = env.packages[dict(pairs)['pkg']]
        self.scratch, self.dest = windows_path(env.scratch + '/row'), ''
        # An installed package: every file in the folder, nothing beside it in the row's folder, its
        # program started from there if it is the probe, its entry naming the folder (a root keeps its
        # backslash).
        self.pairs = []
        for key, value in pairs:
            self.pairs.append((key, value))
            if key == 'installed':
                at = dict(pairs).get('at', value)
                self.pairs += [('in', at)] + [('file', n) for n, _ in p.files] + [('alone', at)]
                self.pairs += [('launch', value + '\\' + p.program)] * (dict(p.files).get(p.program) == 'probe'
                                                                       and 'launch' not in dict(pairs))
                self.pairs += [('entry64' if 'x64' in p.fields else 'entry', 'InstallLocation=' + value
                                + '\\' * (value.endswith(':') or not value))] * ('uninstall' in p.fields)
        # The entry's values are registry values like any other.
        self.pairs = [('reg', '%s:HKLM:%s\\%s' % (k[5:] or '-', self.key('entry'), v)) if k.startswith('entry')
                      else (k, v) for k, v in self.pairs]
        self.one = dict(self.pairs)

    def values(self, key, raw=False):
        return [v if raw else self.fill(v) for k, v in self.pairs if k == key]

    def fill(self, text):
        """The row's placeholders: {scratch} its folder, {dest} the destination ({target} with its
        backslash), {pf} ProgramFilesDir, {d} drive D:'s folder, {product}, {program}, {caption},
        {browse} the browser's title, {launch} the launch warning, {kb} the files' size, {file:N[:CUT]}
        the Nth listed name, {deep:N} a path of N, the stub's named texts, {fill:N} x's to N characters."""
        if text is None:
            return None
        p = self.pkg
        values = dict(NAMED, scratch=self.scratch, dest=self.dest, target=self.dest + '\\', pf=self.env.pf,
                      d=windows_path(self.env.scratch + '/d'), product=p.product[:47], program=p.program,
                      caption='Installing - ' + p.product[:47] if p.product else '',
                      browse='Please select directory to install %s to...' % p.product[:47],
                      launch="Warning: Couldn't launch '%s'\\nPlease, proceed by launching it manually instead!"
                      % p.program[:47])
        if '{kb}' in text:
            values['kb'] = str((sum(len(self.bytes_of(n, r)) for n, r in p.files) + 1023) // 1024)

        def one(match):
            kind, _, rest = match.group(1).partition(':')
            if kind == 'deep':
                return deep(self.scratch, int(rest))
            if kind == 'file':
                number, _, cut = rest.partition(':')
                return p.files[int(number)][0][:int(cut) if cut else None]
            return values.get(match.group(1), match.group(0))
        text = spelt(re.sub(r'\{([a-z0-9:-]+)\}', one, text))
        pad = re.search(r'\{fill:(\d+)\}', text)
        return text if not pad else text[:pad.start()] + 'x' * (int(pad[1]) - len(text) + len(pad[0])) + text[pad.end():]

    def expect(self, what, expected, got):
        if expected != got:
            self.failures.append('%s: expected %r, got %r' % (what, expected, got))

    def key(self, kind):
        return CURRENT + ('\\App Paths\\' + self.pkg.program if kind == 'app' else '\\Uninstall\\' + self.pkg.product)

    def forget(self):
        """Steps that leave no registration of the package's, and the program-files values as Windows has them."""
        steps = [['reg-set', '-', 'HKLM', CURRENT, 'ProgramFilesDir', 'sz', self.env.pf]]
        for view in ('32', '64') if self.env.win64 else ('-',):
            steps += [['reg-del', view, 'HKLM', self.key('app')], ['reg-del', view, 'HKLM', self.key('entry')]]
            # Wine 8 lacks the value that 64-bit Windows keeps in both views.
            steps += [['reg-set', view, 'HKLM', CURRENT, 'ProgramW6432Dir', 'sz', 'C:\\Program Files']] * self.env.win64
        return steps if self.pkg.product else []

    def prepare(self):
        """The state before: made on the Linux side where it can be, by agent steps where Windows keeps it."""
        env, row, drive = self.env, self.env.scratch + '/row', self.env.prefix + '/dosdevices/d:'
        self.dest = self.fill(self.one.get('destination', '{scratch}\\Dest'))
        # A mount, an immutable file or a device link left by the row before would stop a plain removal.
        shell('for m in $(findmnt -rn -o TARGET | grep -F "%s/"); do umount "$m"; done; chattr -R -i "%s";'
              ' rm -rf "%s" "%s/d" "%s"; mkdir -p "%s"' % (env.scratch, row, row, env.scratch, drive, row))
        steps = self.forget()
        for folder in (env.pf, 'C:\\Program Files') if self.pkg.product else ():
            shell('rm -rf "%s"' % env.linux(folder + '\\' + self.pkg.product))
        if 'first' in self.one:
            env.agent(steps + [['run', self.exe(), '', '-'], ['answer', 'ok'], ['answer', 'type:' + self.dest],
                               ['wait-exit']])
        if 'drive' in self.one:
            os.makedirs(env.scratch + '/d')
            os.symlink(env.scratch + '/d', drive)
        for path in self.values('mkdir'):
            os.makedirs(env.linux(path), exist_ok=True)
        for path in self.values('remove'):
            os.remove(env.linux(path))
        for path, _, text in (v.partition('=') for v in self.values('put')):
            put(env.linux(path), unescape(text))
        for key, script in (('immutable', 'chattr +i "%s"'), ('full', 'mkdir -p "$(dirname "%s")"; ln -s /dev/full "%s"')):
            for path in self.values(key):
                self.expect('making %s %s' % (key, path), '', shell(script.replace('%s', env.linux(path))).stderr)
        for path, _, size in (v.rpartition(':') for v in self.values('tmpfs')):
            os.makedirs(env.linux(path), exist_ok=True)
            if shell('mount -t tmpfs -o size=%s e2e "%s"' % (size, env.linux(path))).returncode:
                print('note: %s: no tmpfs can be mounted here; the row is skipped' % self.name)
                return None
        for key in ('app', 'app32', 'app64'):
            steps += [['reg-set', key[3:] or '-', 'HKLM', self.key('app'), '@', 'sz', v] for v in self.values(key)]
        # ProgramW6432Dir is the same in both views, as Windows keeps it.
        for key, name, views in (('pf', 'ProgramFilesDir', '-'), ('pf64', 'ProgramW6432Dir', ('32', '64'))):
            for kind, _, text in (v.partition(':') for v in self.values(key, raw=True)):
                steps += [['reg-set', view, 'HKLM', CURRENT, name, kind, self.fill(text)] for view in views]
        steps += [['reg-deny', '-', 'HKLM', self.key('entry')]] * ('deny' in self.one)
        return steps + [['hold', path] for path in self.values('hold')]

    def exe(self):
        return self.env.exe(self.pkg.name)

    def windows(self):
        """The windows the row expects, in order, each with its answer and what must be seen of it."""
        shown = []
        for key, value in self.pairs:
            if key in WINDOWS or key == 'probe':
                shown.append({'kind': key, 'action': 'ok' if key == 'box' else value, 'text': value})
            elif key in ('owner', 'poke'):
                shown[-1][key if key == 'owner' else 'action'] = value or 'poke'
        return shown

    def steps(self):
        steps = []
        if not {'template', 'listwidth'} & set(self.one):
            steps.append(['run', self.exe(), self.fill(self.one.get('cmd', '')), self.fill(self.one.get('cwd', '-'))])
            steps += [[w['kind']] if w['kind'] == 'probe' else ['answer', self.fill(w['action'])]
                      for w in self.windows()]
            steps.append(['wait-exit'])
        steps += [['window-of', v.partition(':')[0]] for v in self.values('program')]
        steps += [['exec', v, self.scratch] for v in self.values('exec')]
        steps += [['reg-get'] + v.rpartition('=')[0].split(':', 2)[:2] + v.rpartition('=')[0].split(':', 2)[2]
                  .rsplit('\\', 1) for v in self.values('reg')]
        steps += [['template', self.exe(), v.partition('=')[0]] for v in self.values('template')]
        return steps + [['listwidth', self.exe()]] * ('listwidth' in self.one)

    def run(self):
        record = self.env.scratch + '/launch.txt'
        before = self.prepare()
        if before is None:
            return None
        if os.path.exists(record):
            os.remove(record)
        seen = self.env.agent(before + self.steps() + self.forget(), windows_path(record))
        self.compare_windows(seen)
        self.compare_end({k: [f[1:] for f in seen if f[0] == k] for k in {f[0] for f in seen}})
        self.compare_files()
        want = self.fill(self.one.get('launch'))
        if want:
            wait(lambda: os.path.exists(record))
        got = open(record, encoding='utf-8').read().rstrip('\n') if os.path.exists(record) else ''
        self.expect('program started, and shown as the setup asks', '"%s"\tshow 1' % want if want else '', got)
        return self.failures

    def compare_windows(self, seen):
        self.failures += ['agent saw: ' + ' | '.join(f) for f in seen if f[0] in ('error', 'unexpected', 'timeout', 'gone')]
        answered = [f for f in seen if f[0] in WINDOWS + ('window',)]
        expected = [w for w in self.windows() if w['kind'] != 'probe']
        if len(answered) != len(expected):
            self.failures.append('expected windows %s, got %s' % ([w['kind'] for w in expected],
                                                                  [' | '.join(f) for f in answered]))
        title = self.fill(self.one.get('title', '{caption}'))
        for n, (want, got) in enumerate(zip(expected, answered), 1):
            kind, lines = want['kind'], self.one.get('lines')
            wanted = {'welcome': [self.fill(self.one.get('greeting', 'Welcome to {product}!')),
                                  self.fill(lines) if lines is not None else '\\n'.join(self.pkg.lines())],
                      'prompt': [PROMPT], 'dest': [HEADING, self.fill(self.one.get('proposal', '{pf}\\{product}'))],
                      'box': [self.fill(want['text'])] + [self.fill(want.get('owner'))] * ('owner' in want)}[kind]
            self.expect('window %d' % n, [kind, title] + wanted, got[:2 + len(wanted)])
        for kind, want in (('browser', self.values('browser')), ('edit', self.values('edit')),
                           ('after-esc', self.values('after-esc')),
                           ('progress', [title + ' 0 1 0'] * sum(w['action'] == 'poke' for w in expected))):
            got = [' '.join(f[1:]) for f in seen if f[0] == kind]
            # The browser shows the title among its other texts.
            got = [w if kind == 'browser' and w in g.split('|') else g for w, g in zip(want, got)] + got[len(want):]
            self.expect(kind, want, got)

    def compare_end(self, by):
        if 'exit' in by:
            self.expect('exit status', self.one.get('exit', '0'), by['exit'][-1][0])
        if 'created' in self.one:
            got = by.get('created', [['?']])[-1]
            self.expect('windows created', self.one['created'], ' '.join(got[:1] + [str(got[1:])] * (got[0] != '0')))
        if 'probe' in self.one:
            probes, unanswered, slowest, gone = (by.get('probe') or [['0', '?', '?', '0']])[0]
            print('figure: %s: slowest answer to WM_NULL %s ms over %s probes' % (self.name, slowest, probes))
            self.expect('unanswered WM_NULL probes, and the dialog gone', ('0', '1'), (unanswered, gone))
        for (title, _, image), got in zip((v.partition(':') for v in self.values('program')), by.get('program', [])):
            self.expect('program %s, and not the setup' % title, (image.lower(), '0'), (got[0].lower(), got[1]))
        self.expect('exec statuses', ['0'] * len(by.get('exec', [])), [got[0] for got in by.get('exec', [])])
        self.expect('registry values', [v.rpartition('=')[2] for v in self.values('reg')],
                    [got[3] for got in by.get('reg', [])])
        for value, got in zip(self.values('template'), by.get('template', [])):
            missing = set(value.partition('=')[2].split()) - set(got[2:])
            self.expect('controls missing from template ' + got[0], set(), missing)
        if 'listwidth' in self.one:
            widest, client = (by.get('listwidth') or [['?', '?']])[0][:2]
            self.expect('the widest terms line within the list (px)', True,
                        widest.isdigit() and client.isdigit() and int(widest) <= int(client) or (widest, client))

    def compare_files(self):
        env, folder, wanted = self.env, self.dest, {}
        for key, value in self.pairs:
            if key == 'in':
                folder = self.fill(value)
                wanted.setdefault(folder, [])
            elif key == 'file':
                wanted.setdefault(folder, []).append(self.fill(value))
            elif key == 'alone' and self.fill(value).startswith(self.scratch + '\\'):
                self.expect('the row folder', [self.fill(value)[len(self.scratch) + 1:].split('\\')[0]],
                            sorted(os.listdir(env.linux(self.scratch))))
        for folder, files in wanted.items():
            self.compare_tree(folder, files)
        nothing = 'nothing' in self.one
        for folder in self.values('empty'):
            self.expect('listing of ' + folder, [], tree(env.linux(folder)))
        for folder in self.values('absent') + [self.fill('{pf}\\{product}')] * bool(nothing and self.pkg.product):
            self.expect(folder + ' exists', False, os.path.exists(env.linux(folder)))
        if nothing:
            self.expect('what is in the row folder', [], tree(env.linux(self.scratch)))
        for path in map(env.linux, self.values('link')):
            self.expect(path + ' is a file of the setup\'s', False, os.path.exists(path) and not os.path.islink(path))
        for folder in self.values('diff'):
            made = shell('diff -r "%s/files" "%s"' % (env.made[self.pkg.name], env.linux(folder)))
            self.expect('differences from the payload', '', made.stdout[:300])
        for folder in map(env.linux, self.values('gone')):
            wait(lambda: not os.path.exists(folder))
            self.expect(folder + ' left', False, os.path.exists(folder))

    def compare_tree(self, folder, files):
        """These files, with their bytes, and the folders they are in: the folder whole. NAME=? may be
        there, unread; NAME\\ is a folder."""
        expected, unread = set(), set()
        for name, _, rule in (f.partition('=') for f in files):
            parts = name.rstrip('\\').split('\\')
            if rule == '?':
                unread.add(name)
                continue
            expected.update('\\'.join(parts[:i]) for i in range(1, len(parts) + 1))
            path = os.path.join(self.env.linux(folder), *parts)
            if not name.endswith('\\') and os.path.isfile(path):
                self.expect('bytes of %s\\%s' % (folder, name), self.bytes_of(name, rule), open(path, 'rb').read())
        found = tree(self.env.linux(folder))
        self.expect('listing of ' + folder, sorted(expected), found and sorted(set(found) - unread))

    def bytes_of(self, name, rule):
        """~TEXT these bytes, @OTHER another file's, else the package's own for the name."""
        if rule.startswith('~'):
            return unescape(rule[1:]).replace('\\r', '\r').encode()
        if rule == 'probe' or dict(self.pkg.files).get(name) == 'probe':
            return open(self.env.args['build'] + '/probe/Tidewater.exe', 'rb').read()
        if self.pkg.name in ('sample', 'signed'):
            return self.env.sample[name]
        return self.pkg.payload(rule[1:] if rule.startswith('@') else name)


def sample(args):
    """The sample as a package: its manifest's files with their sources' bytes, and its terms."""
    files, section, manifest = {}, '', args['sample-manifest']
    for line in open(manifest, encoding='utf-8'):
        line = line.strip()
        section = line if line.startswith('[') else section
        if section == '[files]' and '=' in line and not line.startswith(';'):
            listed, source = (part.strip() for part in line.split('=', 1))
            beside = os.path.join(os.path.dirname(manifest), source)
            files[listed] = open(beside if os.path.exists(beside) else os.path.join(args['sample-build'], source), 'rb').read()
    terms = open(os.path.join(os.path.dirname(manifest), 'terms.txt'), encoding='utf-8').read().replace('\n', '\\n')
    return files, [('product', 'Lumivue'), ('program', 'Lumivue.exe'), ('terms', terms)] + [
        ('file', listed + '=sample') for listed in files]


def main(argv):
    args = {k.lstrip('-'): v for k, v in zip(argv[1::2], argv[2::2])}
    try:
        packages = {name: Package(name, pairs) for name, pairs, _ in rows_of('packages.txt', PACKAGE_KEYS)}
        if 'emit' in args:
            return emit(packages, args['emit']) or 0
        env = Env(args, packages)
        env.sample, pairs = sample(args)
        packages.update(sample=Package('sample', pairs), signed=Package('signed', pairs))
        # A row for several packages (pkg=a|b) runs once for each.
        rows = [Row(env, name + ('[%s]' % one if '|' in both else ''), [(k, one if k == 'pkg' else v) for k, v in pairs],
                    where)
                for name, pairs, where in rows_of('journeys.txt', ROW_KEYS)
                for both in [dict(pairs)['pkg']] for one in both.split('|')]
    except (TableError, KeyError) as error:
        print('run: %s' % error)
        return 2
    rows = [r for r in rows if env.kind in r.one.get('on', '32').split(',')
            and fnmatch.fnmatchcase(r.name, args.get('only', '*'))]
    start = env.agent([['reg-get', '-', 'HKLM', CURRENT, 'ProgramFilesDir'], ['windows']])
    env.pf = next((f[4] for f in start if f[0] == 'reg'), '(none)')
    got = {f[0]: f[1] for f in start if f[0] in ('windows', 'acp')}
    want = {'windows': '64' if env.win64 else '32', 'acp': {'ru': '1251', 'el': '1253', 'ja': '932'}.get(env.kind, '1252')}
    if not rows or env.pf == '(none)' or got != want:
        print('run: no row, or the prefix is not Windows %s with ProgramFilesDir: %s' % (want, start))
        return 2
    passed = failed = 0
    for row in rows:
        try:
            failures = row.run()
        except (OSError, subprocess.SubprocessError, TableError, KeyError, IndexError, ValueError) as error:
            failures = ['the runner could not go on: %r' % error]
        if failures is None:
            continue
        for failure in failures:
            print('FAIL %s: %s' % (row.name, failure))
        print('     (%s)' % row.where if failures else 'ok   %s' % row.name, flush=True)
        passed, failed = passed + (not failures), failed + bool(failures)
        if failures and os.environ.get('E2E_FIRST_FAILURE'):
            break
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
