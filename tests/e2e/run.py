#!/usr/bin/env python3
"""The Wine journeys' runner: writes the test packages of packages.txt (--emit DIR), or runs the rows of journeys.txt
for one Windows kind through the agent, holding what it saw to the tables alone (E2E_FIRST_FAILURE=1: to a failure)."""
import fnmatch, itertools, operator, os, pathlib, random, re, shlex, struct, subprocess, sys, time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.dirname(HERE))
from crc32c import crc32c  # noqa: E402
# The stub's own texts as a person reads them, escaped as the agent prints them (a line feed is \n).
NAMED = {'cancelled': 'The installation process was cancelled!', 'failed': 'The installation process failed!',
         'nodest': "Error: Couldn't create destination directory", 'corrupt': 'Error: Setup.exe is corrupt',
         'in-use': "'\\nPossible cause: File in use by Windows.", 'needs64': 'This product needs 64-bit Windows.',
         'dialog-failed': 'Error: DialogBox() failed', 'usage': 'Switches: [/S | /P] [/D=folder] [/?]\\n/S: silent; '
         'the terms count as accepted, the exit status tells the result.\\n/P: as /S, with the progress shown.'
         '\\n/D=folder: absolute, no quotes, always the last switch.\\n/?: this message.'}
PROMPT = ('A version of this program has previously been installed on this computer. Would you like the old files '
          'to be replaced with the present files?')
HEADING = 'Please select the directory to install the program into:'
RUNS = "What shows must end where the setup's buffer ends, however far the text runs on. "
CURRENT = r'SOFTWARE\Microsoft\Windows\CurrentVersion'
# Where Windows keeps the files to go at the next restart: only an administrator may write it.
SESSION = r'SYSTEM\CurrentControlSet\Control\Session Manager'
PROGRAMS = r'C:\ProgramData\Microsoft\Windows\Start Menu\Programs'  # the all-users Start menu's
MY_PROGRAMS = r'AppData\Roaming\Microsoft\Windows\Start Menu\Programs'  # a person's own, in their profile
WINDOWS = ('welcome', 'prompt', 'dest', 'box')
PACKAGE_KEYS = set('product program terms file folder uninstall uninstaller startmenu publisher x64 script stub string '
                   'entry list messages nodialog gen compression scope'.split())
ROW_KEYS = set('pkg on cwd cmd destination app app32 app64 pf pf64 drive mkdir put remove hold immutable full tmpfs '
               'deny first probe owner poke title proposal greeting lines browser edit after-esc exit created '
               'installed at in file nothing empty absent link diff gone launch entry entry32 entry64 reg program '
               'exec template listwidth run answer shortcut plant unchanged damage'.split()) | set(WINDOWS)
DEFAULTS = {'on': '32', 'destination': '{scratch}\\Dest', 'cmd': '', 'cwd': '-', 'title': '{caption}',
            'greeting': 'Welcome to {product}!', 'proposal': '{programs}\\{product}', 'exit': '0', 'launch': ''}
# The state a row makes on the Linux side: each key's command on its path ($0) and what follows it ($1).
BEFORE = {'mkdir': 'mkdir -p "$0"', 'remove': 'rm "$0"', 'put': 'mkdir -p "${0%/*}" && printf %s "$1" >"$0"',
          'immutable': 'chattr +i "$0"', 'full': 'mkdir -p "${0%/*}" && ln -s /dev/full "$0"',
          'tmpfs': 'mkdir -p "$0" && mount -t tmpfs -o size="$1" e2e "$0"'}
# The program-files values a row sets, with their views: ProgramW6432Dir is the same in both, as Windows keeps it.
PROGRAM_FILES = {'pf': ('ProgramFilesDir', ['-']), 'pf64': ('ProgramW6432Dir', ['32', '64'])}


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
            if line[0] not in ' \t':
                rows.append((tokens.pop(0), [], '%s:%d' % (name, number)))
            for key, equals, value in (token.partition('=') for token in tokens):
                if key not in keys:
                    raise ValueError('%s: unknown key %r' % (rows[-1][0], key))
                rows[-1][1].append((key, value if equals else None))
        except (ValueError, IndexError) as error:  # IndexError: a continuation with no row above
            raise ValueError('%s:%d: %s' % (name, number, error))
    return rows


def unescape(text):
    return text.replace('\\n', '\n').replace('\\t', '\t')


def spelt(text):
    """{runs:N}: N characters of a sentence run on; {to:N}: on until the text is N long (\\n counting one)."""
    while found := re.search(r'\{(runs|to):(\d+)\}', text):
        n = int(found[2]) - (len(text[:found.start()].replace('\\n', '\n')) if found[1] == 'to' else 0)
        text = text[:found.start()] + (RUNS * (n // len(RUNS) + 1))[:n] + text[found.end():]
    return text


class Package:
    def __init__(self, name, pairs):
        self.name, self.fields = name, {key: True if value is None else value for key, value in pairs}
        self.files = [tuple(value.partition('=')[::2]) for key, value in pairs if key == 'file']
        self.folders = [value for key, value in pairs if key == 'folder']
        self.strings = {int(n): text for n, _, text in (v.partition('=') for k, v in pairs if k == 'string')}
        self.entries = [value.rpartition('=')[::2] for key, value in pairs if key == 'entry']  # (MADE or '', NAME)
        self.product, self.program = self.fields.get('product', ''), self.fields.get('program', '')
        self.terms = unescape(self.fields.get('terms', ''))
        if self.terms.startswith('@clauses:'):
            lines = ''.join('Clause %03d: the charts and tables are for planning only.\n' % n for n in range(1, 100))
            self.terms = lines[:int(self.terms[9:])]

    def record(self):
        return self.fields['uninstaller'][:-4] + '.dat'

    def payload(self, listed):
        """A file's bytes by its rule: a line naming it, that line to N bytes, empty, N bytes of noise (which no
        compression shrinks), another's, or a file's."""
        rule = dict(self.files).get(listed, '')
        if rule.startswith('noise:'):
            return random.Random(listed).randbytes(int(rule[6:]))
        if rule.startswith(('@', '/')):
            return self.payload(rule[1:]) if rule[0] == '@' else open(rule, 'rb').read()
        line = ('%s: a file of %s.\r\n' % (listed, self.product or self.name)).encode()
        size = 0 if rule == 'empty' else int(rule) if rule.isdigit() else len(line)
        return (line * (size // len(line) + 1))[:size]


def string_table(strings):
    """A resource script's table of these strings, but the empty ones."""
    escaped = {n: text.replace('\\', '\\\\').replace('"', '""').replace('\n', '\\n') for n, text in strings.items()}
    return ['STRINGTABLE', 'BEGIN'] + ['    %d "%s"' % item for item in sorted(escaped.items()) if item[1]] + ['END']


def put(path, data):
    """Writes text, lines or bytes, only where they changed: a new reading of the table rebuilds only that."""
    data = ''.join(line + '\n' for line in data) if isinstance(data, list) else data
    data = data.encode() if isinstance(data, str) else data
    if not os.path.exists(path) or open(path, 'rb').read() != data:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(data)


def emit(packages, out):
    """Each package's manifest, or resource script for shapes setup-pack refuses, its files and its CMake line."""
    cmake = []
    for p in packages.values():
        folder, stub = os.path.join(out, p.name), p.fields.get('stub', '')
        if 'nodialog' in p.fields:
            cmake.append('add_dialogless_stub(%s %s)' % (p.name, p.fields['nodialog']))
        elif 'messages' in p.fields:
            strings = string_table({n: unescape(spelt(t)) for n, t in p.strings.items()})
            put(folder + '/messages.rc', ['#pragma code_page(65001)', '#include "stub_frame.rc"'] + strings)
            cmake.append('add_message_stub(%s %s/messages.rc)' % (p.name, folder))
        elif 'script' in p.fields:
            strings = {500: p.product, 501: p.program, 502: p.terms} if p.fields['script'] is True else {}
            strings.update({9000 + i: f for i, f in enumerate(p.folders)})
            strings.update({10000 + i: n for i, (n, _) in enumerate(p.files) if p.fields.get('list') != 'none'})
            strings.update({n: unescape(t) for n, t in p.strings.items()})
            lines = ['#pragma code_page(65001)', '#include <windows.h>', 'LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL']
            lines += string_table(strings)
            # Entries named by the made-name rule, as packages made before numbered entries have them; given
            # ones may leave a listed file out or carry a name no listed file has.
            for j, (made, source) in enumerate(p.entries or [('', n) for n, _ in p.files]):
                kept = 'Tidewater.exe' if dict(p.files).get(source) == 'probe' else 'e%d' % j
                if kept != 'Tidewater.exe':
                    put('%s/%s' % (folder, kept), p.payload(source))
                made = made or ''.join(c.upper() if c.isascii() and c.isalnum() else '_' for c in source)
                lines.append('%s RCDATA "%s"' % (made, kept))
            put(folder + '/package.rc', lines)
            cmake.append('add_script_setup(%s %s/package.rc "%s")' % (p.name, folder, stub))
        elif 'gen' not in p.fields:
            for i, (listed, rule) in enumerate(p.files):
                if rule != 'probe':
                    put('%s/p%d' % (folder, i), p.payload(listed))
            put(folder + '/terms.txt', p.terms)
            lines = ['[product]', 'name = ' + p.product, 'program = ' + p.program, 'version = 1.0',
                     'legal = A test package of the setup program.', 'terms = terms.txt']
            lines += ['%s = %s' % (k, p.fields[k]) for k in ('uninstall', 'uninstaller', 'startmenu', 'publisher', 'compression', 'scope')
                      if k in p.fields]
            lines += ['architecture = x64'] if 'x64' in p.fields else []
            lines += ['[folders]'] + ['folder = ' + f for f in p.folders] if p.folders else []
            lines += ['[files]'] + ['%s = %s' % (listed, 'Tidewater.exe' if rule == 'probe' else 'p%d' % i)
                                    for i, (listed, rule) in enumerate(p.files)]
            put(folder + '/setup.ini', lines)
            cmake.append('add_manifest_setup(%s %s/setup.ini "%s")' % (p.name, folder, stub))
    put(out + '/packages.cmake', cmake)


def sample(build):
    """The sample as a package: its manifest's files, each from its source beside the manifest or built."""
    folder = ROOT + '/sample/lumivue'
    manifest = open(folder + '/lumivue.ini', encoding='utf-8').read().partition('[files]')[2]
    pairs = [('file', '%s=%s' % (listed, next(path for path in (folder + '/' + source, build + '/sample/' + source)
                                                if os.path.exists(path))))
             for listed, source in re.findall(r'^([^;\n].*?) = (.*)$', manifest, re.M)]
    terms = open(folder + '/terms.txt', encoding='utf-8').read().replace('\n', '\\n')
    keys = re.findall(r'^(uninstaller|startmenu) = (.*)$', open(folder + '/lumivue.ini', encoding='utf-8').read(), re.M)
    return [('product', 'Lumivue'), ('program', 'Lumivue.exe'), ('terms', terms)] + keys + pairs


def damaged(path, kind, last):
    """A copy of the setup damaged on the way: flip, the middle byte of its block (or of a stored package's largest
    entry) inverted; cut, the block's size halved; crc, a bit of the second file's checksum in the index; short, the
    index's last record one byte short, with the checksum of the bytes it then covers (last: the last file's), so that
    only the stream's end can tell."""
    import pefile
    pe = pefile.PE(path)
    data, rcdata = bytearray(pe.__data__), [t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == 10][0]
    entries = {e.id: e.directory.entries[0].data.struct for e in rcdata.directory.entries}
    block = entries.get(2) or max(entries.values(), key=lambda entry: entry.Size)
    if kind == 'flip':
        data[pe.get_offset_from_rva(block.OffsetToData) + block.Size // 2] ^= 0xFF
    elif kind == 'cut':
        struct.pack_into('<I', data, block.get_field_absolute_offset('Size'), block.Size // 2)
    elif kind == 'crc':
        data[pe.get_offset_from_rva(entries[1].OffsetToData) + 16] ^= 1
    else:
        end = pe.get_offset_from_rva(entries[1].OffsetToData) + entries[1].Size
        struct.pack_into('<II', data, end - 8, len(last) - 1, crc32c(last[:-1]))
    put(path[:-4] + '-' + kind + '.exe', bytes(data))
    return path[:-4] + '-' + kind + '.exe'


def windows_path(linux):
    return 'Z:' + os.path.abspath(linux).replace('/', '\\')


def shell(script, *args):
    return subprocess.run(['sh', '-c', script] + list(args), capture_output=True, text=True)


def wait(condition, seconds=20):
    end = time.time() + seconds
    while not condition() and time.time() < end:
        time.sleep(0.05)


def tree(root):
    """Every entry below a folder by its path from there, with backslashes; None for no folder."""
    if os.path.isdir(root):
        return sorted(str(path.relative_to(root)).replace('/', '\\') for path in pathlib.Path(root).rglob('*'))


# What a row says of a path afterwards: how it is looked at, and what that must give.
LOOKS = {'empty': (tree, []), 'absent': (os.path.exists, False), 'gone': (os.path.exists, False),
         'link': (lambda path: os.path.exists(path) and not os.path.islink(path), False)}


def deep(base, length):
    """A path of exactly `length` characters below `base`, in levels of 200, that ends in no backslash."""
    path = (base + ''.join('\\' + chr(ord('a') + n) * 200 for n in range(length // 200 + 1)))[:length]
    return path[:-1] + 'z' if path.endswith('\\') else path


# How a line of the agent's is held to what the row wants of it, where not word for word.
MATCHES = {'browser': lambda want, got: want in got.split('|'),  # the title among the browser's texts
           'template': lambda want, got: set(want.split()) <= set(got.split()),  # other controls too
           'probe': lambda want, got: got.split()[1::2] == ['0', '1'],  # probes, unanswered, slowest ms, gone
           'listwidth': lambda want, got: int(got.split()[0]) <= int(got.split()[1]),  # widest line, list width
           'program': lambda want, got: want == got.lower()}  # the image, in whatever case


class Env:
    """One Windows kind and locale: the prefix and its ProgramFilesDir, the scratch area, the Windows build."""

    def __init__(self, args, packages):
        self.kind, self.build, self.args, self.packages = args['--env'], args['--build'], args, packages
        self.prefix, self.scratch = os.environ['WINEPREFIX'], os.environ['E2E_SCRATCH']
        start = self.agent([['reg-get', '-', 'HKLM', CURRENT, 'ProgramFilesDir'], ['windows']])
        self.pf = next((f[4] for f in start if f[0] == 'reg' and f[4] != '(none)'), None)
        # The one person of the prefix: their own programs folder (where the shell puts it by default) and Start menu.
        home = 'C:\\users\\' + next(u for u in os.listdir(self.prefix + '/drive_c/users') if u != 'Public')
        self.user_pf, self.user_programs = home + '\\AppData\\Local\\Programs', home + '\\' + MY_PROGRAMS
        self.win64, acp = self.kind == '64', {'ru': '1251', 'el': '1253', 'ja': '932'}.get(self.kind, '1252')
        # A locale the machine lacks falls back to C without a word, and with it the code page.
        if not self.pf or start[1:] != [['windows', '64' if self.win64 else '32'], ['acp', acp]]:
            raise ValueError('the prefix is not Windows %s, code page %s, with ProgramFilesDir (a missing locale is '
                             'generated by scripts/install-deps.sh): %s' % (self.kind, acp, start))

    def linux(self, path):
        """Z: is the Linux root, C: the prefix's drive, D: the row's drive folder."""
        base = {'Z:': '/', 'C:': self.prefix + '/drive_c', 'D:': self.scratch + '/d'}[path[:2].upper()]
        return os.path.join(base, path[2:].lstrip('\\').replace('\\', '/'))

    def agent(self, steps, record='', overrides=''):
        """The agent's lines for the steps, as lists of fields; through a file: a program started may hold a pipe."""
        base = self.scratch + '/agent'
        put(base + '.steps', ['\t'.join(step) for step in steps])
        pathlib.Path(base + '.out').unlink(missing_ok=True)
        with open(base + '.log', 'w') as log:
            subprocess.run(['wine', self.build + '/e2e/agent.exe', windows_path(base + '.steps'),
                            windows_path(base + '.out')], stdout=log, stderr=subprocess.STDOUT,
                           env=dict(os.environ, E2E_LAUNCH_RECORD=record,
                                    WINEDLLOVERRIDES=os.environ.get('WINEDLLOVERRIDES', '') + overrides), timeout=300)
        if not os.path.exists(base + '.out'):
            return [['error', 'agent', open(base + '.log', errors='replace').read()[-400:]]]
        return [line.split('\t') for line in open(base + '.out', encoding='utf-8').read().splitlines() if line]


class Row:
    """A journey: it starts from a clean state and ends every program it started."""

    def __init__(self, env, name, pairs, where):
        self.env, self.name, self.where, self.failures = env, name, where, []
        self.pkg = p = env.packages[dict(pairs)['pkg']]
        self.app_key, self.entry_key = CURRENT + '\\App Paths\\' + p.program, CURRENT + '\\Uninstall\\' + p.product
        # A per-user package keeps to the person's part of the registry, their programs folder and Start menu.
        self.root, self.programs, self.start_menu = ('HKCU', env.user_pf, env.user_programs) \
            if p.fields.get('scope') == 'user' else ('HKLM', env.pf, PROGRAMS)
        self.scratch, self.dest = windows_path(env.scratch + '/row'), ''
        self.kb = str((sum(len(self.bytes_of(n, r)) for n, r in p.files) + 1023) // 1024)
        self.dest = self.fill(dict(pairs).get('destination', DEFAULTS['destination']))
        # An installed package: every file in the folder, nothing beside it in the row's folder, its program
        # started from there if it is the probe, its entry naming the folder (a root keeps its backslash).
        self.pairs = []
        for key, value in pairs:
            if key.startswith('entry'):  # the entry's values are registry values like any other
                key, value = 'reg', '%s:%s:%s\\%s' % (key[5:] or '-', self.root, self.entry_key, value)
            self.pairs.append((key, value))
            if key == 'installed':
                at = dict(pairs).get('at', value)
                self.pairs += [('in', at)] + [('file', n) for n, _ in p.files] + [('alone', at)]
                if 'uninstaller' in p.fields:  # written with the files, beside the record of what was installed
                    self.pairs[-1:-1] = [('file', p.fields['uninstaller'] + '=?'), ('file', p.record() + '=%record')]
                if dict(p.files).get(p.program) == 'probe' and 'launch' not in dict(pairs):
                    self.pairs.append(('launch', value + '\\' + p.program))
                if {'uninstall', 'uninstaller'} & set(p.fields):
                    view, root = '64' if 'x64' in p.fields else '-', '\\' * (value.endswith(':') or not value)
                    self.pairs.append(('reg', '%s:%s:%s\\InstallLocation=%s%s' % (view, self.root, self.entry_key, value,
                                                                                  root)))
            elif key == 'nothing':  # nothing in the row's folder, and no folder of the product's
                self.pairs += [('empty', '{scratch}')] + [('absent', '{programs}\\{product}')] * bool(p.product)
        # Every value filled in but a program-files value's, whose {fill:N} counts from after its type.
        self.pairs = [(k, v if v is None or k in PROGRAM_FILES else self.fill(v)) for k, v in self.pairs]
        self.one = {**{k: self.fill(v) for k, v in DEFAULTS.items()}, **dict(self.pairs)}

    def values(self, key):
        return [v for k, v in self.pairs if k == key]

    def fill(self, text):
        """The row's placeholders: {scratch} its folder, {dest} the destination ({target} with its backslash), {pf}
        ProgramFilesDir, {product}, {program}, {caption}, {browse} the browser's title, {launch} the launch warning,
        {kb} the files' size, {file:N[:CUT]} the Nth listed name, {deep:N} a path of N, {fill:N} x's to N."""
        p, product = self.pkg, self.pkg.product[:47]
        values = dict(NAMED, scratch=self.scratch, dest=self.dest, target=self.dest + '\\', pf=self.env.pf, kb=self.kb,
                      programs=self.programs,
                      product=product, program=p.program, caption='Installing - ' + product if product else '',
                      browse='Please select directory to install %s to...' % product,
                      launch="Warning: Couldn't launch '%s'\\nPlease, proceed by launching it manually instead!"
                      % p.program[:47])
        text = re.sub(r'\{deep:(\d+)\}', lambda found: deep(self.scratch, int(found[1])), text)
        text = re.sub(r'\{file:(\d+):?(\d*)\}', lambda found: p.files[int(found[1])][0][:int(found[2] or 999)], text)
        text = spelt(re.sub(r'\{([a-z0-9-]+)\}', lambda found: values.get(found[1], found[0]), text))
        pad = re.search(r'\{fill:(\d+)\}', text)
        return text[:pad.start()] + 'x' * (int(pad[1]) - len(text) + len(pad[0])) + text[pad.end():] if pad else text

    def expect(self, what, expected, got):
        if expected != got:
            self.failures.append('%s: expected %r, got %r' % (what, expected, got))

    def exe(self, p=None):
        """The row's setup; one the benchmark's generator makes, too big to keep, is made when a row first needs it."""
        p, env = p or self.pkg, self.env
        folder = {'sample': ROOT + '/build/sample', 'signed': env.build + '/e2e/signed_sample'}.get(p.name)
        if 'gen' in p.fields:
            folder = env.scratch + '/gen-' + p.name
            for command in ([sys.executable, ROOT + '/bench/gen_payload.py', p.fields['gen'], folder],
                            [env.args['--setup-pack'], folder + '/bench.ini', '-o', folder + '/Setup.exe',
                             '--stub', env.build + '/stub/Setup.exe']):
                if not os.path.exists(folder + '/Setup.exe'):
                    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
        exe = (folder or '%s/e2e/packages/%s' % (env.build, p.name)) + '/Setup.exe'
        if 'damage' in self.one and p is self.pkg:
            exe = damaged(exe, self.one['damage'], p.payload(p.files[-1][0]))
        return windows_path(exe)

    def forget(self):
        """Steps that leave no registration of the package's, and the program-files values as Windows has them."""
        steps = [['reg-set', '-', 'HKLM', CURRENT, 'ProgramFilesDir', 'sz', self.env.pf]]
        for view in ('32', '64') if self.env.win64 else ('-',):
            steps += [['reg-del', view, 'HKLM', key] for key in (self.app_key, self.entry_key)]
            # A person's profile without per-user products has neither key that holds theirs: each goes with its keys.
            steps += [['reg-del', view, 'HKCU', key.rpartition('\\')[0]] for key in (self.app_key, self.entry_key)]
            # Wine 8 lacks the value that 64-bit Windows keeps in both views.
            steps += [['reg-set', view, 'HKLM', CURRENT, 'ProgramW6432Dir', 'sz', 'C:\\Program Files']] * self.env.win64
        return steps + [['reg-allow', '-', 'HKLM', SESSION]] if self.pkg.product else []

    def prepare(self):
        """The state before: made on the Linux side where it can be, by agent steps where Windows keeps it."""
        env, row, drive = self.env, self.env.scratch + '/row', self.env.prefix + '/dosdevices/d:'
        # What a run before left: the product's folder in Program Files, its Start menu shortcut (named as the
        # setup reads the product, cut to 47).
        installed = [env.linux(folder + '\\' + self.pkg.product[:47] + ending) for folder, ending in
                     ((env.pf, ''), ('C:\\Program Files', ''), (PROGRAMS, '.lnk'), (env.user_programs, '.lnk'))
                     if self.pkg.product] + [env.linux(env.user_pf)]  # made on first use: gone before each row
        # A mount, an immutable file or a device link left by the row before would stop a plain removal.
        shell('for m in $(findmnt -rn -o TARGET | grep -F "$0/"); do umount "$m"; done; chattr -R -i "$1"; rm -rf "$@";'
              ' mkdir -p "$1"', env.scratch, row, env.scratch + '/d', drive, env.scratch + '/launch.txt', *installed)
        steps = self.forget()
        if 'first' in self.one:  # an earlier run into {dest}, answered; first=silent or =PACKAGE: by /S, kept
            silent = self.one['first'] is not None
            answers = [] if silent else [['answer', 'ok'], ['answer', 'type:' + self.dest]]
            exe = self.exe(env.packages.get(self.one['first']))
            env.agent(steps + [['run', exe, '/S /D=' + self.dest if silent else '', '-']] + answers + [['wait-exit']])
            steps = [] if silent else steps
        if 'drive' in self.one:
            shell('mkdir "$0" && ln -s "$0" "$1"', env.scratch + '/d', drive)
        for key, value in self.pairs:
            if key in BEFORE:  # PATH, PATH=TEXT for put, FOLDER:SIZE for tmpfs
                path, _, more = value.rpartition(':') if key == 'tmpfs' else value.partition('=')
                made = shell(BEFORE[key], env.linux(path), unescape(more))
                if key == 'tmpfs' and made.returncode:
                    print('note: %s: no tmpfs can be mounted here; the row is skipped' % self.name)
                    return None
                self.expect('the state before, %s %s' % (key, path), '', made.stderr)
            elif key in ('app', 'app32', 'app64'):  # in the package's part of the registry, or HKLM:/HKCU: names it
                root, path = value.split(':', 1) if value[:5] in ('HKLM:', 'HKCU:') else (self.root, value)
                steps.append(['reg-set', key[3:] or '-', root, self.app_key, '@', 'sz', path])
            elif key in PROGRAM_FILES:
                (name, views), (kind, _, text) = PROGRAM_FILES[key], value.partition(':')
                steps += [['reg-set', view, 'HKLM', CURRENT, name, kind, self.fill(text)] for view in views]
        for name in self.values('plant'):  # the setup copied into the row's folder, with the planted DLL beside it
            shell('cp "$0" "$1/Setup.exe" && cp "$2" "$1/$3"', self.env.linux(self.exe()), row, self.env.build +
                  '/e2e/plant/plant.dll', name)
            self.one['run'] = self.scratch + '\\Setup.exe'
        steps += [['hold', path] for path in self.values('hold')]
        # deny: the entry may not be written; deny=restart: nothing may be set to go at restart, as for a person
        # without administrator rights.
        denied = {None: (self.root, self.entry_key), 'restart': ('HKLM', SESSION)}.get(self.one.get('deny'))
        return steps + [['reg-deny', '-', *denied]] * ('deny' in self.one)

    def plan(self):
        """The agent's steps for the row; the windows they must show, in order; the other lines they must write."""
        one, exe, terms = self.one, self.exe(), self.pkg.terms[:3332].split('\n')
        seen = {'welcome': [one['greeting'], one.get('lines', '\\n'.join(terms[:(terms + ['']).index('')]))],
                'prompt': [PROMPT], 'dest': [HEADING, one['proposal']]}  # the terms' lines up to the first empty one
        runs = not {'template', 'listwidth'} & set(one)
        steps, windows = [['run', one.get('run', exe), one['cmd'], one['cwd']]] * runs, []
        for key, value in self.pairs:
            if key in WINDOWS:
                steps.append(['answer', 'ok' if key == 'box' else value])
                windows.append([key, one['title']] + seen.get(key, [value]))
                if key == 'dest':  # a destination dialog that stays up shows what was typed into it
                    seen['dest'] = [HEADING, (re.findall(r'type:([^+]*)', value) or seen['dest'][1:])[-1]]
            elif key == 'answer':  # a question box's button
                steps[-1][1] = value
            elif key == 'owner':
                windows[-1].append(value)
            elif key == 'poke':  # the progress dialog under the box, tried every way to end it
                steps[-1][1] = 'poke'
            elif key == 'probe':  # the progress dialog, asked with WM_NULL while it writes
                steps.append(['probe'])
        regs = [re.fullmatch(r'(.*?):(.*?):(.*)\\([^\\=]*)=(.*)', v).groups() for v in self.values('reg')]
        steps += [['wait-exit']] * runs + [['window-of', v.partition(':')[0]] for v in self.values('program')]
        steps += [['exec', v, self.scratch] for v in self.values('exec')]
        steps += [['reg-get', view, root, path, name] for view, root, path, name, _ in regs]
        steps += [['template', exe, v.partition('=')[0]] for v in self.values('template')]
        steps += [['listwidth', exe]] * ('listwidth' in one)
        want = {'exit': [one['exit']] * runs, 'browser': self.values('browser'), 'edit': self.values('edit'),
                'after-esc': self.values('after-esc'), 'progress': [one['title'] + ' 0 1 0'] * len(self.values('poke')),
                'probe': ['none unanswered, and the dialog gone'] * ('probe' in one),
                'program': [v.partition(':')[2].lower() + ' 0' for v in self.values('program')],  # and not the setup
                'exec': ['0'] * len(self.values('exec')),
                'reg': [' '.join([view, path, name, value]) for view, _, path, name, value in regs],
                'template': [v.replace('=', ' made ', 1) for v in self.values('template')],
                'listwidth': ['the widest terms line within the list'] * ('listwidth' in one)}
        return steps, windows, dict(want, created=[one['created']]) if 'created' in one else want

    def run(self):
        record = self.env.scratch + '/launch.txt'
        before = self.prepare()
        if before is None:
            return None
        steps, windows, want = self.plan()
        before_run = None
        if 'unchanged' in self.one:  # the state before, made first: the row before may have left what it undoes
            self.env.agent(before)
            before, before_run = [], self.snapshot()
        # plant=NAME.dll: the setup run from a folder that holds a DLL of that name, which Wine is told to prefer.
        overrides = ''.join(';%s=n,b' % v[:-4] for v in self.values('plant'))
        # A row that holds the prefix to what it was is not tidied before it is looked at.
        after = [] if before_run is not None else self.forget()
        self.compare_seen(self.env.agent(before + steps + after, windows_path(record), overrides), windows, want)
        self.compare_files()
        if before_run is not None:  # unchanged=machine: all but the person's own files and registry
            mine = re.compile(r'file users/(?!Public/)|\S+ \[HKEY_CURRENT_USER' if self.one['unchanged'] == 'machine' else '(?!)')
            got = {line for line in self.snapshot() if not mine.match(line)}
            self.expect('the files and the registry, against before', [],
                        sorted(got ^ {line for line in before_run if not mine.match(line)})[:9])
        launched = '"%s"\tshow 1' % self.one['launch'] if self.one['launch'] else ''
        wait(lambda: os.path.exists(record) or not launched)
        got = open(record, encoding='utf-8').read().rstrip('\n') if os.path.exists(record) else ''
        self.expect('program started, and shown as the setup asks', launched, got)
        return self.failures

    def snapshot(self):
        """The prefix's files and its registry (both views), as lines, each value with its key. Left out: the
        temporary folders, where an uninstaller's moved image waits for the restart that removes it (a running
        program cannot delete its own), and what Wine fills in the first time any program asks (its own
        settings, the network cards)."""
        drive = pathlib.Path(self.env.prefix + '/drive_c')
        lines = ['file ' + str(p.relative_to(drive)) for p in drive.rglob('*') if '/Temp' not in str(p)]
        export = self.env.scratch + '/export.reg'
        for root, view in itertools.product(('HKLM\\Software', 'HKCU\\Software'), ('32', '64')[:1 + self.env.win64]):
            shell('wine reg export "$0" "$1" /y /reg:$2 >/dev/null 2>&1', root, export, view)
            key = ''
            for line in pathlib.Path(export).read_text('utf-16', 'replace').splitlines():
                key = line if line.startswith('[') else key
                lines += [' '.join((view, key, line))] * (not re.search(r'\\Software\\Wine\\|\\NetworkCards\b', key))
        return lines

    def compare_seen(self, seen, windows, want):
        self.failures += ['agent saw: ' + ' | '.join(f) for f in seen
                          if f[0] in ('error', 'unexpected', 'timeout', 'gone')]
        for probes, _, slowest, _ in (f[1:] for f in seen if f[0] == 'probe'):
            print('figure: %s: slowest answer to WM_NULL %s ms over %s probes' % (self.name, slowest, probes))
        shown = [f for f in seen if f[0] in WINDOWS + ('window',)]
        for n, (wanted, got) in enumerate(itertools.zip_longest(windows, shown, fillvalue=[]), 1):
            self.expect('window %d' % n, wanted, got[:len(wanted)] or got)
        for kind, wanted in want.items():
            got = [' '.join(f[1:]) for f in seen if f[0] == kind]
            got = [w if MATCHES.get(kind, operator.eq)(w, g) else g for w, g in zip(wanted, got)] + got[len(wanted):]
            self.expect(kind, wanted, got)

    def compare_files(self):
        """The folders the row names whole, with their files' bytes (NAME=? unread, NAME\\ a folder); other paths."""
        env, folder, wanted = self.env, self.dest, {}
        for key, value in self.pairs:
            if key == 'in':
                folder = value
                wanted.setdefault(folder, set())
            elif key == 'file':
                name, _, rule = value.partition('=')
                parts, path = name.rstrip('\\').split('\\'), env.linux(folder + '\\' + name)
                names = {name} & set(tree(env.linux(folder)) or ()) if rule == '?' else {
                    '\\'.join(parts[:i]) for i in range(1, len(parts) + 1)}
                wanted.setdefault(folder, set()).update(names)
                if rule != '?' and not name.endswith('\\') and os.path.isfile(path):
                    self.expect('bytes of %s\\%s' % (folder, name), self.bytes_of(name, rule), open(path, 'rb').read())
            elif key == 'alone' and value.startswith(self.scratch + '\\'):
                self.expect('the row folder', [value[len(self.scratch) + 1:].split('\\')[0]],
                            sorted(os.listdir(env.linux(self.scratch))))
            elif key == 'diff':
                made = shell('diff -r "$0/files" "$1"', env.scratch + '/gen-' + self.pkg.name, env.linux(value))
                self.expect('differences from the payload', '', made.stdout[:300])
            elif key == 'shortcut':  # NAME=TARGET: in the Start menu, the target's folder its working folder
                name, _, target = value.partition('=')
                lnk = pathlib.Path(env.linux(self.start_menu + '\\' + name + '.lnk'))
                got = lnk.read_bytes() if lnk.exists() else b''
                folder = target.rpartition('\\')[0] + '\\'
                found = got and target.encode() in got and folder.encode('utf-16-le') in got
                self.expect('shortcut ' + name, target, target if found else '(none)' if not got else repr(got[:99]))
            elif key in LOOKS:
                look, want = LOOKS[key]
                if key == 'gone':  # what removes it may still be at work
                    wait(lambda: look(env.linux(value)) == want)
                self.expect('%s %s' % (key, value), want, look(env.linux(value)))
        for folder, names in wanted.items():
            self.expect('listing of ' + folder, sorted(names), tree(env.linux(folder)))

    def bytes_of(self, name, rule):
        """~TEXT these bytes, @OTHER another file's, else the package's own for the name."""
        if rule.startswith('~'):
            return unescape(rule[1:]).encode()
        if rule == '%record':  # each folder with its backslash, then each file, the uninstaller last, a line each
            p, folders = self.pkg, {}  # every folder a file needs, parents first, then the extras, each once
            for path in filter(None, [n.rpartition('\\')[0] for n, _ in p.files] + p.folders):
                parts = path.split('\\')
                for i in range(1, len(parts) + 1):
                    folders.setdefault('\\'.join(parts[:i]).upper(), '\\'.join(parts[:i]))
            names = [f + '\\' for f in folders.values()] + [n for n, _ in p.files] + [p.fields['uninstaller']]
            return ''.join(n + '\n' for n in names).encode('utf-16-le')
        if dict(self.pkg.files).get(name) == 'probe':
            return open(self.env.build + '/e2e/probe/Tidewater.exe', 'rb').read()
        return self.pkg.payload(rule[1:] if rule.startswith('@') else name)


def main(argv):
    args = dict(zip(argv[1::2], argv[2::2]))
    try:
        packages = {name: Package(name, pairs) for name, pairs, _ in rows_of('packages.txt', PACKAGE_KEYS)}
        if '--emit' in args:
            return emit(packages, args['--emit']) or 0
        env = Env(args, packages)
        packages.update({name: Package(name, sample(env.build)) for name in ('sample', 'signed')})
        # A row for several packages (pkg=a|b) runs once for each.
        rows = [Row(env, name + ('[%s]' % one if '|' in both else ''),
                    [(k, one if k == 'pkg' else v) for k, v in pairs], where)
                for name, pairs, where in rows_of('journeys.txt', ROW_KEYS)
                for both in [dict(pairs)['pkg']] for one in both.split('|')]
        rows = [row for row in rows if env.kind in row.one['on'].split(',')
                and fnmatch.fnmatchcase(row.name, args.get('--only', '*'))]
        if not rows:
            raise ValueError('no row')
    except (ValueError, KeyError) as error:
        print('run: %s' % error)
        return 2
    passed = []
    for row in rows:
        try:
            failures = row.run()
        except Exception as error:  # the runner's or the machine's fault, which fails the row all the same
            failures = ['the runner could not go on: %r' % error]
        if failures is not None:  # None: a row this machine cannot set up
            print(''.join('FAIL %s: %s\n' % (row.name, failure) for failure in failures)
                  + ('     (%s)' % row.where if failures else 'ok   %s' % row.name), flush=True)
            passed.append(not failures)
        if failures and os.environ.get('E2E_FIRST_FAILURE'):
            break
    print('%d passed, %d failed' % (passed.count(True), passed.count(False)))
    return 0 if all(passed) else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
