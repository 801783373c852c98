#!/usr/bin/env python3
"""The Linux side of the Wine journeys: reads the tables, makes the test packages, drives each row
through the agent under Wine, and compares what the agent saw with what the row expects.

    run.py --emit DIR                      writes every package's sources and DIR/packages.cmake
    run.py --env 32|64|ru|el|ja [--only PATTERN]   runs the rows of that Windows kind or locale

The agent only acts and reports; every expectation is here, taken from the rows and the package
rows, never from a built executable. Each row starts from a clean state and ends every program it
started, so that no row depends on the one before.
"""
import fnmatch
import os
import re
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TABLES = [os.path.join(HERE, 'packages.txt'), os.path.join(HERE, 'journeys.txt')]

# The stub's own texts, as a person reads them.
CANCELLED = 'The installation process was cancelled!'
FAILED = 'The installation process failed!'
NO_DEST = "Error: Couldn't create destination directory"
IN_USE = "'\\nPossible cause: File in use by Windows."
PROMPT = ('A version of this program has previously been installed on this computer. Would you like the old '
          'files to be replaced with the present files?')
HEADING = 'Please select the directory to install the program into:'
USAGE = ('Switches: [/S] [/D=folder] [/?]\\n/S: silent; the terms count as accepted, the exit status tells the '
         'result.\\n/D=folder: absolute, no quotes, always the last switch.\\n/?: this message.')
NAMED = {'cancelled': CANCELLED, 'failed': FAILED, 'nodest': NO_DEST, 'in-use': IN_USE, 'usage': USAGE,
         'needs64': 'This product needs 64-bit Windows.', 'corrupt': 'Error: Setup.exe is corrupt',
         'dialog-failed': 'Error: DialogBox() failed'}
CURRENT_VERSION = r'SOFTWARE\Microsoft\Windows\CurrentVersion'
WINDOW_KEYS = ('welcome', 'prompt', 'dest', 'box')


class TableError(Exception):
    pass


def rows_of(path):
    """(name, [(key, value)...], line) per row; a line that starts with a blank continues the row above."""
    rows, text = [], open(path, encoding='utf-8').read().split('\n')
    for number, line in enumerate(text, 1):
        if not line.strip() or line.lstrip().startswith('#'):
            continue
        lex = shlex.shlex(line, posix=True)
        lex.whitespace_split, lex.escape, lex.commenters = True, '', ''
        try:
            tokens = list(lex)
        except ValueError as error:
            raise TableError('%s:%d: %s' % (path, number, error))
        if line[0] in ' \t':
            if not rows:
                raise TableError('%s:%d: a continuation with no row above' % (path, number))
            pairs = rows[-1][1]
        else:
            name, tokens = tokens[0], tokens[1:]
            pairs = []
            rows.append((name, pairs, '%s:%d' % (os.path.basename(path), number)))
        for token in tokens:
            key, equals, value = token.partition('=')
            pairs.append((key, value if equals else None))
    return rows


def unescape(text):
    return text.replace('\\n', '\n').replace('\\t', '\t')


RUNS = "What shows must end where the setup's buffer ends, however far the text runs on. "


def spelt(text):
    """{runs N}: N characters of a sentence run on; {to N}: runs on until the text so far is N long
    (an escaped line feed counts as one)."""
    while True:
        found = re.search(r'\{(runs|to):(\d+)\}', text)
        if not found:
            return text
        n = int(found.group(2)) - (len(text[:found.start()].replace('\\n', '\n')) if found.group(1) == 'to' else 0)
        text = text[:found.start()] + (RUNS * (n // len(RUNS) + 1))[:n] + text[found.end():]


# ---- Packages ---------------------------------------------------------------------------------

PACKAGE_KEYS = {'product', 'program', 'terms', 'file', 'folder', 'uninstall', 'publisher', 'x64', 'script', 'stub',
                'string', 'entry', 'list', 'messages', 'nodialog', 'gen', 'manifest'}


class Package:
    def __init__(self, name, pairs, where):
        self.name, self.where = name, where
        self.files, self.folders, self.strings, self.entries, self.listed = [], [], {}, [], None
        self.fields = {}
        for key, value in pairs:
            if key not in PACKAGE_KEYS:
                raise TableError('%s: package %s: unknown key %r' % (where, name, key))
            if key == 'file':
                listed, _, rule = value.partition('=')
                self.files.append((listed, rule))
            elif key == 'folder':
                self.folders.append(value)
            elif key == 'string':
                number, _, text = value.partition('=')
                self.strings[int(number)] = text
            elif key == 'entry':
                self.entries.append(value.partition('='))
            else:
                self.fields[key] = value if value is not None else True
        self.product = self.fields.get('product', '')
        self.program = self.fields.get('program', '')
        self.terms = unescape(self.fields.get('terms', ''))
        if self.terms.startswith('@clauses:'):
            self.terms = clauses(int(self.terms[9:]))

    def payload(self, listed):
        """The bytes a listed file holds, made by its rule: a size, another file's bytes, empty, or the probe."""
        rule = dict(self.files).get(listed, '')
        if rule.startswith('@'):
            return self.payload(rule[1:])
        if rule == 'empty':
            return b''
        line = ('%s: a file of %s.\r\n' % (listed, self.product or self.name)).encode()
        size = int(rule) if rule.isdigit() else len(line)
        return (line * (size // len(line) + 1))[:size]

    def lines(self):
        """The terms as the welcome list shows them: cut at line feeds, up to the first empty piece."""
        shown = []
        for piece in self.terms[:3332].split('\n'):
            if not piece:
                break
            shown.append(piece)
        return shown


def clauses(length):
    text, n = '', 1
    while len(text) < length:
        text += 'Clause %03d: the charts and tables are for planning only.\n' % n
        n += 1
    return text[:length]


def made_name(listed):
    return ''.join(c.upper() if c.isascii() and c.isalnum() else '_' for c in listed)


def rc_text(text):
    return '"%s"' % text.replace('\\', '\\\\').replace('"', '""').replace('\n', '\\n')


def put(path, data):
    """Writes only what changed, so that a new reading of the table rebuilds only the packages it changed."""
    data = data.encode() if isinstance(data, str) else data
    if not os.path.exists(path) or open(path, 'rb').read() != data:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)


def emit(packages, stubs, out):
    """Each package's manifest (or, for shapes setup-pack refuses, resource script) with its files, and
    the CMake lines that build them."""
    cmake = []
    for stub in stubs:
        if 'nodialog' in stub.fields:
            cmake.append('add_dialogless_stub(%s %s)' % (stub.name, stub.fields['nodialog']))
            continue
        folder = os.path.join(out, 'stub_' + stub.name)
        put(os.path.join(folder, 'messages.rc'), '#pragma code_page(65001)\n#include "stub_frame.rc"\nSTRINGTABLE\nBEGIN\n'
            + ''.join('    %d %s\n' % (n, rc_text(unescape(spelt(t)))) for n, t in sorted(stub.strings.items())) + 'END\n')
        cmake.append('add_message_stub(%s %s/messages.rc)' % (stub.name, folder))
    for p in packages:
        if 'gen' in p.fields or 'manifest' in p.fields:
            continue
        folder = os.path.join(out, p.name)
        for i, (listed, rule) in enumerate(p.files):
            if rule != 'probe':
                put(os.path.join(folder, 'p%d' % i), p.payload(listed))
        stub = p.fields.get('stub', '')
        if 'script' in p.fields:
            write_script(p, folder)
            cmake.append('add_script_setup(%s %s/package.rc "%s")' % (p.name, folder, stub))
        else:
            write_manifest(p, folder)
            cmake.append('add_manifest_setup(%s %s/setup.ini "%s")' % (p.name, folder, stub))
    put(os.path.join(out, 'packages.cmake'), '\n'.join(cmake) + '\n')


def write_manifest(p, folder):
    put(os.path.join(folder, 'terms.txt'), p.terms)
    lines = ['[product]', 'name = ' + p.product, 'program = ' + p.program, 'version = 1.0',
             'legal = A test package of the setup program.', 'terms = terms.txt']
    lines += ['%s = %s' % (k, p.fields[k]) for k in ('uninstall', 'publisher') if k in p.fields]
    lines += ['architecture = x64'] if 'x64' in p.fields else []
    lines += ['[folders]'] + ['folder = ' + f for f in p.folders] if p.folders else []
    lines += ['[files]'] + ['%s = %s' % (listed, 'Tidewater.exe' if rule == 'probe' else 'p%d' % i)
                            for i, (listed, rule) in enumerate(p.files)]
    put(os.path.join(folder, 'setup.ini'), '\n'.join(lines) + '\n')


def write_script(p, folder):
    strings = {500: p.product, 501: p.program, 502: p.terms} if p.fields.get('script') is True else {}
    strings.update({9000 + i: f for i, f in enumerate(p.folders)})
    if p.fields.get('list') != 'none':
        strings.update({10000 + i: listed for i, (listed, _) in enumerate(p.files)})
    strings.update({n: unescape(t) for n, t in p.strings.items()})
    strings = {n: t for n, t in strings.items() if t}
    lines = ['#pragma code_page(65001)', '#include <windows.h>', 'LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL']
    if strings:
        lines += ['STRINGTABLE', 'BEGIN'] + ['    %d %s' % (n, rc_text(t)) for n, t in sorted(strings.items())] + ['END']
    # Entries by the made-name rule, as packages made before numbered entries have them; an explicit
    # ENTRY=NAME gives the bytes of NAME (listed or not) under a name of its own, or leaves some out.
    entries = [(e if s else made_name(e), s or e) for e, _, s in p.entries] or [(made_name(n), n) for n, _ in p.files]
    for j, (made, source) in enumerate(entries):
        kept = 'Tidewater.exe' if dict(p.files).get(source) == 'probe' else 'e%d' % j
        if kept != 'Tidewater.exe':
            put(os.path.join(folder, kept), p.payload(source))
        lines.append('%s RCDATA "%s"' % (made, kept))
    put(os.path.join(folder, 'package.rc'), '\n'.join(lines) + '\n')


# ---- Journeys ---------------------------------------------------------------------------------

ROW_KEYS = {'pkg', 'on', 'cwd', 'cmd', 'app', 'app32', 'app64', 'pf', 'pf64', 'drive', 'put', 'hold', 'immutable', 'full',
            'mkdir', 'remove', 'installed', 'at', 'link', 'diff',
            'tmpfs', 'deny', 'first', 'welcome', 'prompt', 'dest', 'box', 'owner', 'poke', 'title', 'proposal',
            'greeting', 'lines', 'browser', 'edit', 'after-esc', 'exit', 'in', 'file', 'nothing', 'empty', 'absent',
            'launch', 'entry', 'entry32', 'entry64', 'reg', 'created', 'program', 'exec', 'gone', 'probe', 'string',
            'template', 'listwidth', 'acp', 'destination'}


class Env:
    """One Windows kind and locale: the prefix, its program-files folder, the scratch area, the built packages."""

    def __init__(self, kind, args):
        self.kind, self.args = kind, args
        self.prefix = os.environ['WINEPREFIX']
        self.scratch = os.environ['E2E_SCRATCH']
        self.win64 = kind == '64'
        self.pf = None

    def exe(self, package):
        if package in ('sample', 'signed'):
            return windows_path(self.args[package])
        if package in self.generated:
            return windows_path(self.generated[package])
        if 'messages' in self.packages[package].fields:
            return windows_path(os.path.join(self.args['build'], 'stubs', package, 'Setup.exe'))
        return windows_path(os.path.join(self.args['build'], 'packages', package, 'Setup.exe'))

    def linux(self, path):
        """The Linux path of a Windows one: Z: is the root, C: the prefix's drive, D: the row's drive folder."""
        drive, rest = path[:2].upper(), path[2:].lstrip('\\').replace('\\', '/')
        base = {'Z:': '/', 'C:': os.path.join(self.prefix, 'drive_c'), 'D:': os.path.join(self.scratch, 'd')}[drive]
        return os.path.join(base, rest) if rest else base


def windows_path(linux):
    return 'Z:' + os.path.abspath(linux).replace('/', '\\')


def agent(env, steps, launch_record=None, timeout=240):
    """Runs the agent over the steps; its observations as lists of fields."""
    base = os.path.join(env.scratch, 'agent')
    with open(base + '.steps', 'w', encoding='utf-8') as f:
        f.write(''.join('\t'.join(step) + '\n' for step in steps))
    if os.path.exists(base + '.out'):
        os.remove(base + '.out')
    environment = dict(os.environ)
    if launch_record:
        environment['E2E_LAUNCH_RECORD'] = launch_record
    # The output goes to a file: a program the setup starts could hold a pipe open.
    with open(base + '.log', 'w') as log:
        subprocess.run(['wine', env.args['agent'], windows_path(base + '.steps'), windows_path(base + '.out')],
                       stdout=log, stderr=subprocess.STDOUT, env=environment, timeout=timeout)
    if not os.path.exists(base + '.out'):
        return [['error', 'agent', 'no output: ' + open(base + '.log', errors='replace').read()[-400:]]]
    return [line.split('\t') for line in open(base + '.out', encoding='utf-8').read().splitlines() if line]


def shell(script):
    return subprocess.run(['sh', '-c', script], capture_output=True, text=True)


class Row:
    def __init__(self, env, packages, name, pairs, where):
        self.env, self.name, self.where = env, name, where
        for key, _ in pairs:
            if key not in ROW_KEYS:
                raise TableError('%s: row %s: unknown key %r' % (where, name, key))
        self.pairs = pairs
        self.one = {k: v for k, v in pairs}
        self.pkg = packages[self.one['pkg']] if 'pkg' in self.one else None
        # An installed package: its program started from the folder, its entry naming the folder (a
        # root keeps its backslash).
        for place in [v for k, v in pairs if k == 'installed']:
            if dict(self.pkg.files).get(self.pkg.program) == 'probe' and 'launch' not in self.one:
                pairs.append(('launch', place + '\\' + self.pkg.program))
            if 'uninstall' in self.pkg.fields:
                pairs.append(('entry64' if 'x64' in self.pkg.fields else 'entry', 'InstallLocation=' + place + ('\\' if place.endswith(':') or not place else '')))
        self.one = {k: v for k, v in pairs}
        self.scratch = windows_path(os.path.join(env.scratch, 'row'))
        self.dest, self.failures = '', []

    # Placeholders: {scratch} the row's folder, {dest} the destination in it, {target} with its
    # backslash, {pf} ProgramFilesDir, {d} drive D:'s folder, {file:N} the Nth listed name, the named
    # texts, {launch} the launch warning, {fill N} x's padding the text to N characters.
    def fill(self, text):
        if text is None:
            return None
        p = self.pkg
        values = {'scratch': self.scratch, 'dest': self.dest, 'target': self.dest + '\\', 'pf': self.env.pf,
                  'd': windows_path(os.path.join(self.env.scratch, 'd')), 'product': p.product[:47] if p else '',
                  'caption': self.caption(), 'program': p.program if p else ''}
        values.update(NAMED)
        if p:
            values['browse'] = 'Please select directory to install %s to...' % p.product[:47]
            if '{kb}' in text:
                values['kb'] = str((sum(len(self.bytes_of(n, r)) for n, r in p.files) + 1023) // 1024)
            values['launch'] = ("Warning: Couldn't launch '%s'\\nPlease, proceed by launching it manually instead!"
                                % p.program[:47])
        def one(match):
            key = match.group(1)
            if key.startswith('deep:'):
                return deep(self.scratch, int(key[5:]))
            if key.startswith('file:'):
                number, _, cut = key[5:].partition(':')
                return p.files[int(number)][0][:int(cut) if cut else None]
            return values[key] if key in values else match.group(0)
        text = spelt(re.sub(r'\{([a-z0-9:-]+)\}', one, text))
        fill = re.search(r'\{fill:(\d+)\}', text)
        if fill:
            text = text[:fill.start()] + 'x' * (int(fill.group(1)) - len(text) + len(fill.group(0))) + text[fill.end():]
        return text

    def caption(self):
        return 'Installing - ' + self.pkg.product[:47] if self.pkg and self.pkg.product else ''

    def values(self, key):
        return [self.fill(v) for k, v in self.pairs if k == key]

    def expect(self, what, expected, got):
        if expected != got:
            self.failures.append('%s: expected %r, got %r' % (what, expected, got))

    # ---- Before ----

    def prepare(self):
        env = self.env
        self.dest = self.fill(self.one.get('destination', '{scratch}\\Dest'))
        linux = os.path.join(env.scratch, 'row')
        drive_link = os.path.join(env.prefix, 'dosdevices', 'd:')
        # An immutable file, a mount or a device link left by the row before would stop a plain removal.
        shell('for m in $(findmnt -rn -o TARGET | grep -F "%s/"); do umount "$m"; done; chattr -R -i "%s" 2>/dev/null;'
              ' rm -rf "%s" "%s"; rm -f "%s"; mkdir -p "%s"' % (env.scratch, linux, linux,
                                                                   os.path.join(env.scratch, 'd'), drive_link, linux))
        steps = self.forget()
        if self.pkg and self.pkg.product:
            for programs in (env.pf, 'C:\\Program Files'):
                shell('rm -rf "%s"' % env.linux(programs + '\\' + self.pkg.product))
        if 'first' in self.one:
            agent(env, steps + [['run', self.exe(), '', '-'], ['answer', 'ok'], ['answer', 'type:' + self.dest],
                                ['wait-exit']])
        for path in self.values('mkdir'):
            os.makedirs(env.linux(path), exist_ok=True)
        for path in self.values('remove'):
            os.remove(env.linux(path))
        if 'drive' in self.one:
            os.makedirs(os.path.join(env.scratch, 'd'))
            os.symlink(os.path.join(env.scratch, 'd'), drive_link)
        for value in self.values('put'):
            path, _, text = value.partition('=')
            os.makedirs(os.path.dirname(env.linux(path)), exist_ok=True)
            with open(env.linux(path), 'wb') as f:
                f.write(unescape(text).encode())
        for key, script in (('immutable', 'chattr +i "%s"'), ('full', 'mkdir -p "$(dirname "%s")" && ln -s /dev/full "%s"')):
            for path in self.values(key):
                made = shell(script.replace('%s', env.linux(path)))
                if made.returncode:
                    self.failures.append('could not make %s %s: %s' % (key, path, made.stderr))
        for value in self.values('tmpfs'):
            path, _, size = value.rpartition(':')
            os.makedirs(env.linux(path), exist_ok=True)
            if shell('mount -t tmpfs -o size=%s e2e "%s"' % (size, env.linux(path))).returncode:
                print('note: %s: no tmpfs can be mounted here; the row is skipped' % self.name)
                return None
        for key in ('app', 'app32', 'app64'):
            for value in self.values(key):
                steps.append(['reg-set', key[3:] or '-', 'HKLM', self.app_paths(), '@', 'sz', value])
        # ProgramW6432Dir is the same in both views, as Windows keeps it.
        for key, name, views in (('pf', 'ProgramFilesDir', '-'), ('pf64', 'ProgramW6432Dir', ('32', '64'))):
            for value in [v for k, v in self.pairs if k == key]:
                kind, _, text = value.partition(':')
                steps += [['reg-set', view, 'HKLM', CURRENT_VERSION, name, kind, self.fill(text)] for view in views]
        if 'deny' in self.one:
            steps.append(['reg-deny', '-', 'HKLM', self.entry_key()])
        for path in self.values('hold'):
            steps.append(['hold', path])
        return steps

    def app_paths(self, program=None):
        return CURRENT_VERSION + '\\App Paths\\' + (program or self.pkg.program)

    def entry_key(self):
        return CURRENT_VERSION + '\\Uninstall\\' + self.pkg.product

    def exe(self):
        return self.env.exe(self.one['pkg'])

    def forget(self):
        """Steps that leave no registration of the package's and ProgramFilesDir as the prefix has it."""
        if not self.pkg or not self.pkg.product:
            return []
        steps = [['reg-set', '-', 'HKLM', CURRENT_VERSION, 'ProgramFilesDir', 'sz', self.env.pf]]
        for view in (('32', '64') if self.env.win64 else ('-',)):
            steps += [['reg-del', view, 'HKLM', self.app_paths()], ['reg-del', view, 'HKLM', self.entry_key()]]
            # Wine 8 lacks the value that 64-bit Windows keeps in both views: given as Windows has it.
            if self.env.win64:
                steps.append(['reg-set', view, 'HKLM', CURRENT_VERSION, 'ProgramW6432Dir', 'sz', 'C:\\Program Files'])
        return steps

    # ---- The run ----

    def windows(self):
        """The windows the row expects, in order: (kind, action, expectations)."""
        shown, last = [], None
        for key, value in self.pairs:
            if key in WINDOW_KEYS:
                last = {'kind': key, 'action': 'ok' if key == 'box' else value, 'text': value if key == 'box' else None}
                shown.append(last)
            elif key == 'probe':
                shown.append({'kind': 'probe'})
            elif key in ('owner', 'poke') and last:
                last[key] = value if key == 'owner' else True
                if key == 'poke':
                    last['action'] = 'poke'
        return shown

    def steps(self, before):
        steps = list(before)
        # A row that only reads the image runs nothing.
        if 'pkg' in self.one and not {'string', 'template', 'listwidth'} & set(self.one):
            cwd = self.fill(self.one.get('cwd', '-'))
            steps.append(['run', self.exe(), self.fill(self.one.get('cmd', '')), cwd])
            steps += [['probe'] if w['kind'] == 'probe' else ['answer', self.fill(w['action'])] for w in self.windows()]
            steps.append(['wait-exit'])
        for value in self.values('program'):
            steps.append(['window-of', value.partition(':')[0]])
        for value in self.values('exec'):
            steps.append(['exec', value, self.scratch])
        for key in ('entry', 'entry32', 'entry64'):
            for value in self.values(key):
                name = value.partition('=')[0]
                steps.append(['reg-get', key[5:] or '-', 'HKLM', self.entry_key(), name])
        for value in self.values('reg'):
            where, _, _ = value.partition('=')
            view, root, key_name = where.split(':', 2)
            key, _, name = key_name.rpartition('\\')
            steps.append(['reg-get', view, root, key, name])
        for value in self.values('string'):
            steps.append(['string', self.exe(), value.partition('=')[0]])
        for value in self.values('template'):
            steps.append(['template', self.exe(), value.partition('=')[0]])
        if 'listwidth' in self.one:
            steps.append(['listwidth', self.exe()])
        if 'acp' in self.one:
            steps.append(['windows'])
        return steps + self.forget()

    def run(self):
        record = os.path.join(self.env.scratch, 'launch.txt')
        before = self.prepare()
        if before is None:
            return None
        if os.path.exists(record):
            os.remove(record)
        seen = agent(self.env, self.steps(before), windows_path(record))
        self.compare(seen, record)
        return self.failures

    # ---- What was seen, and what was left ----

    def compare(self, seen, record):
        for fields in seen:
            if fields[0] in ('error', 'unexpected', 'timeout', 'gone'):
                self.failures.append('agent saw: ' + ' | '.join(fields))
        answered = [f for f in seen if f[0] in ('box', 'welcome', 'prompt', 'dest', 'window')]
        expected = [w for w in self.windows() if w['kind'] != 'probe']
        if len(answered) != len(expected):
            self.failures.append('expected windows %s, got %s' % ([w['kind'] for w in expected],
                                                                  [' | '.join(f) for f in answered]))
        title = self.fill(self.one.get('title', '{caption}'))
        for n, (want, got) in enumerate(zip(expected, answered), 1):
            what = 'window %d (%s)' % (n, want['kind'])
            self.expect(what + ' kind', want['kind'], got[0])
            if got[0] != want['kind']:
                continue
            self.expect(what + ' title', title, got[1])
            if want['kind'] == 'welcome':
                greeting = self.fill(self.one.get('greeting', 'Welcome to {product}!'))
                self.expect(what + ' greeting', greeting.replace('{product}', self.pkg.product[:47]), got[2])
                lines = self.one.get('lines')
                self.expect(what + ' terms', self.fill(lines) if lines is not None else '\\n'.join(self.pkg.lines()),
                            got[3] if len(got) > 3 else '')
            elif want['kind'] == 'prompt':
                self.expect(what + ' text', PROMPT, got[2])
            elif want['kind'] == 'dest':
                self.expect(what + ' heading', HEADING, got[2])
                self.expect(what + ' proposal', self.fill(self.one.get('proposal', '{pf}\\{product}')), got[3])
            elif want['kind'] == 'box':
                self.expect(what + ' text', self.fill(want['text']), got[2])
                if 'owner' in want:
                    self.expect(what + ' owner', self.fill(want['owner']), got[3])
        for kind, key in (('browser', 'browser'), ('edit', 'edit'), ('after-esc', 'after-esc'), ('progress', 'poke')):
            got = [' '.join(f[1:]) for f in seen if f[0] == kind]
            want = self.values(key) if key != 'poke' else [title + ' 0 1 0'] * len(got)
            if kind == 'browser':
                got = [w if w in g.split('|') else g for w, g in zip(want, got)] + got[len(want):]
            self.expect(kind, want, got)
        self.compare_end(seen)
        self.compare_files()
        self.compare_launch(record)

    def compare_end(self, seen):
        by = {}
        for f in seen:
            by.setdefault(f[0], []).append(f[1:])
        if 'exit' in by:
            self.expect('exit status', self.one.get('exit', '0'), by['exit'][-1][0])
        if 'created' in self.one:
            got = by.get('created', [['?']])[-1]
            self.expect('windows created', self.one['created'], got[0] + ('' if got[0] == '0' else ' ' + str(got[1:])))
        if 'probe' in self.one:
            probes, unanswered, slowest, gone = by.get('probe', [['0', '?', '?', '0']])[0]
            print('figure: %s: slowest answer to WM_NULL %s ms over %s probes' % (self.name, slowest, probes))
            self.expect('unanswered WM_NULL probes, dialog gone', ('0', '1'), (unanswered, gone))
        for value, got in zip(self.values('program'), by.get('program', [])):
            title, _, image = value.partition(':')
            self.expect('program %s' % title, (image.lower(), '0'), (got[0].lower(), got[1]))
        for got in by.get('exec', []):
            self.expect('exec status', '0', got[0])
        regs = iter(by.get('reg', []))
        for key in ('entry', 'entry32', 'entry64', 'reg'):
            for value in self.values(key):
                name, _, want = (value.partition('=') if key != 'reg' else value.rpartition('='))
                got = next(regs, ['', '', '', '(missing)'])
                self.expect('%s %s' % (key, name), want, got[3])
        for value, got in zip(self.values('string'), by.get('string', [])):
            self.expect('string %s' % value.partition('=')[0], value.partition('=')[2], got[1])
        for value, got in zip(self.values('template'), by.get('template', [])):
            missing = set(value.partition('=')[2].split()) - set(got[2:])
            self.expect('controls missing from template %s' % got[0], set(), missing)
        if 'listwidth' in self.one:
            widest, client, lines = by.get('listwidth', [['?', '?', '?']])[0]
            if not (widest.isdigit() and client.isdigit() and int(widest) <= int(client)):
                self.failures.append('expected every terms line within the list, got the widest %s px of %s px'
                                     % (widest, client))
        if 'acp' in self.one:
            self.expect('ANSI code page', self.one['acp'], by.get('acp', [['?']])[0][0])

    def compare_files(self):
        env, folder, wanted = self.env, None, {}
        for place in self.values('installed'):
            self.installed(place, self.fill(self.one.get('at', place)))
        for key, value in self.pairs:
            if key == 'in':
                folder = self.fill(value)
                wanted.setdefault(folder, [])
            elif key == 'file':
                wanted.setdefault(folder or self.dest, []).append(self.fill(value))
        for folder, files in wanted.items():
            self.compare_tree(folder, files)
        for folder in self.values('empty'):
            self.expect('listing of ' + folder, [], tree(env.linux(folder)) if os.path.isdir(env.linux(folder)) else None)
        nothing = 'nothing' in self.one and self.pkg.product
        for folder in self.values('absent') + (['{pf}\\' + self.pkg.product] if nothing else []):
            self.expect('folder %s exists' % folder, False, os.path.exists(env.linux(self.fill(folder))))
        if 'nothing' in self.one:
            self.expect('files in the row folder', [], tree(env.linux(self.scratch)))
        for path in self.values('link'):
            linux = env.linux(path)
            self.expect('%s is a file of the setup\'s' % path, False, os.path.exists(linux) and not os.path.islink(linux))
        for folder in self.values('diff'):
            made = shell('diff -r "%s/files" "%s"' % (os.path.dirname(env.generated[self.pkg.name]), env.linux(folder)))
            self.expect('files like the payload\'s', '', made.stdout[:300])
        for folder in self.values('gone'):
            wait(lambda: not os.path.exists(env.linux(folder)))
            self.expect('folder %s left' % folder, False, os.path.exists(env.linux(folder)))

    def installed(self, place, at):
        """Every file of the package in the folder, and nothing else beside it in the row's folder."""
        self.compare_tree(at, [n for n, _ in self.pkg.files])
        if at.startswith(self.scratch + '\\'):
            self.expect('listing of the row folder', [at[len(self.scratch) + 1:].split('\\')[0]],
                        os.listdir(self.env.linux(self.scratch)))

    def compare_tree(self, folder, files):
        root = self.env.linux(folder)
        expected, unread = set(), set()
        for entry in files:
            name, _, rule = entry.partition('=')
            if rule == '?':
                unread.add(name)
                continue
            parts = name.rstrip('\\').split('\\')
            expected.update('\\'.join(parts[:i]) for i in range(1, len(parts) + 1))
            if name.endswith('\\'):
                continue
            path = os.path.join(root, *parts)
            if os.path.isfile(path):
                self.expect('bytes of %s\\%s' % (folder, name), self.bytes_of(name, rule), open(path, 'rb').read())
        found = set(tree(root)) - unread if os.path.isdir(root) else None
        self.expect('listing of ' + folder, sorted(expected), sorted(found) if found is not None else None)

    def bytes_of(self, name, rule):
        if rule.startswith('~'):
            return unescape(rule[1:]).replace('\\r', '\r').encode()
        if rule == 'probe' or dict(self.pkg.files).get(name) == 'probe':
            return open(os.path.join(self.env.args['build'], 'probe', 'Tidewater.exe'), 'rb').read()
        if self.pkg.name in ('sample', 'signed'):
            return self.env.sample_bytes(name)
        return self.pkg.payload(rule[1:] if rule.startswith('@') else name)

    def compare_launch(self, record):
        want = self.fill(self.one.get('launch'))
        if want:
            wait(lambda: os.path.exists(record))
            got = open(record, encoding='utf-8').read().rstrip('\n') if os.path.exists(record) else '(not started)'
            self.expect('program started', '"%s"' % want, got)
        elif os.path.exists(record):
            self.failures.append('expected no program started, got %r' % open(record, encoding='utf-8').read())


def deep(base, length):
    """A path of exactly `length` characters below `base`, in levels of 200, that ends in no backslash."""
    path, letter = base, 'a'
    while len(path) < length:
        path, letter = path + '\\' + letter * 200, chr(ord(letter) + 1)
    return path[:length - 1] + ('z' if path[length - 1] == '\\' else path[length - 1])


def tree(root):
    """Every entry below a folder, by its path from there with backslashes."""
    found = []
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        found += [n if rel == '.' else rel.replace('/', '\\') + '\\' + n for n in dirs + files]
    return sorted(found)


def wait(condition, seconds=20):
    end = time.time() + seconds
    while not condition() and time.time() < end:
        time.sleep(0.05)


def load_packages():
    found = {}
    for name, pairs, where in rows_of(TABLES[0]):
        if name in found:
            raise TableError('%s: package %s twice' % (where, name))
        found[name] = Package(name, pairs, where)
    return found


def sample_files(manifest, built):
    """The [files] of a manifest, each listed name with the bytes of its source."""
    files, section = {}, ''
    for line in open(manifest, encoding='utf-8'):
        line = line.strip()
        if line.startswith('['):
            section = line
        elif section == '[files]' and '=' in line and not line.startswith(';'):
            listed, _, source = (part.strip() for part in line.partition('='))
            beside = os.path.join(os.path.dirname(manifest), source)
            files[listed] = open(beside if os.path.exists(beside) else os.path.join(built, source), 'rb').read()
    return files


def generate(env, package):
    """A package too big to keep in the build, made now by the benchmark's generator."""
    folder = os.path.join(env.scratch, 'gen-' + package.name)
    made = shell('/usr/bin/python3 "%s" %s "%s" && "%s" "%s/bench.ini" -o "%s/Setup.exe" --stub "%s"' % (
        env.args['gen'], package.fields['gen'], folder, env.args['setup-pack'], folder, folder, env.args['stub']))
    if made.returncode:
        raise TableError('could not make package %s: %s' % (package.name, made.stderr))
    return os.path.join(folder, 'Setup.exe')


def main(argv):
    args = dict(zip(argv[1::2], argv[2::2]))
    args = {k.lstrip('-'): v for k, v in args.items()}
    try:
        packages = load_packages()
        if 'emit' in args:
            emit([p for p in packages.values() if not ('messages' in p.fields or 'nodialog' in p.fields)],
                 [p for p in packages.values() if 'messages' in p.fields or 'nodialog' in p.fields], args['emit'])
            return 0
        env = Env(args['env'], args)
        sample = sample_files(args['sample-manifest'], args['sample-build'])
        env.sample_bytes = sample.__getitem__
        for name in ('sample', 'signed'):
            packages[name] = Package(name, [('product', 'Lumivue'), ('program', 'Lumivue.exe')], 'sample')
            packages[name].files = [(listed, 'sample') for listed in sample]
            packages[name].terms = open(os.path.join(os.path.dirname(args['sample-manifest']), 'terms.txt'),
                                        encoding='utf-8').read()
        # A row for several packages (pkg=a|b) runs once for each.
        rows = [Row(env, packages, name + ('[%s]' % one if '|' in pkg else ''),
                    [(k, one if k == 'pkg' else v) for k, v in pairs], where)
                for name, pairs, where in rows_of(TABLES[1])
                for pkg in [dict(pairs).get('pkg', '')] for one in pkg.split('|')]
    except (TableError, KeyError) as error:
        print('run: %s' % error)
        return 2
    chosen = [r for r in rows if env.kind in r.one.get('on', '32').split(',')
              and fnmatch.fnmatchcase(r.name, args.get('only', '*'))]
    if not chosen:
        print('run: no row runs on %s' % env.kind)
        return 2
    start = agent(env, [['reg-get', '-', 'HKLM', CURRENT_VERSION, 'ProgramFilesDir'], ['windows']])
    env.pf = next((f[4] for f in start if f[0] == 'reg'), None)
    kind = next((f[1] for f in start if f[0] == 'windows'), None)
    acp = next((f[1] for f in start if f[0] == 'acp'), None)
    locale = {'ru': '1251', 'el': '1253', 'ja': '932'}.get(env.kind, '1252')
    if env.pf in (None, '(none)') or kind != ('64' if env.win64 else '32') or acp != locale:
        print('run: the prefix is not Windows %s (code page %s) with a ProgramFilesDir: %s' % (env.kind, locale, start))
        return 2
    env.generated, env.packages = {}, packages
    passed = failed = 0
    for row in chosen:
        if row.pkg and 'gen' in row.pkg.fields and row.pkg.name not in env.generated:
            env.generated[row.pkg.name] = generate(env, row.pkg)
        failures = row.run()
        if failures is None:
            continue
        if failures:
            failed += 1
            for failure in failures:
                print('FAIL %s: %s' % (row.name, failure))
            print('     (%s)' % row.where, flush=True)
        else:
            passed += 1
            print('ok   %s' % row.name, flush=True)
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
