#!/usr/bin/env python3
"""Mutation check: how many known faults the test suite notices.

Each fault of the table is one exact edit of one file: a comparison flipped, a bound off by
one, a check dropped, a call removed, a capacity shrunk, a message id swapped. For each, a
scratch copy of the tree gets the edit, is rebuilt, and runs the suite as `make test` does
(host unit tests, the Wine groups, the brief fuzz runs), stopping at the first failure; then
the edit is undone. A fault that every stage lets through survived: a test is missing, or
the code it touches does nothing. A fault whose text is not found exactly once in its file
is stale: the code moved on and its row needs rewriting; it is not a survivor.

    tests/mutate.py --list                   the faults, and which are stale against the tree
    tests/mutate.py                          every fault (hours on a small machine)
    tests/mutate.py --only NAME[,NAME...]    some, by name or shell pattern (text.*, pack.*)
    tests/mutate.py --work DIR               keep the scratch tree in DIR and reuse it next time
    tests/mutate.py --host                   only the stages that need no Wine (unit tests, fuzzing):
                                             a score for the host-tested code on a machine without Wine

The real checkout is only read. Exit status: 0 when every applied fault was caught, 1 when one
survived or the suite failed without any fault, 2 for a usage mistake.
"""
import argparse
import collections
import fnmatch
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

Fault = collections.namedtuple('Fault', 'name path find replace')

FAULTS = [
    # Bounded text helpers: every copy and format of the setup goes through them.
    Fault('text.room-off-by-one', 'src/setup/text.cpp',
          'int room = capacity - 1 - *length;', 'int room = capacity - *length;'),
    Fault('text.append-scan-past-capacity', 'src/setup/text.cpp',
          'while (length < capacity - 1 && out[length]', 'while (length < capacity && out[length]'),
    Fault('text.format-argument-past-end', 'src/setup/text.cpp',
          "used < argumentCount", "used <= argumentCount"),
    Fault('text.format-percent-only', 'src/setup/text.cpp',
          "if (p[0] == '%' && p[1] == 's'", "if (p[0] == '%'"),
    # Destination paths.
    Fault('paths.cut-ignores-colon', 'src/setup/paths.cpp',
          "if (text[i] == '\\\\' || text[i] == ':')", "if (text[i] == '\\\\')"),
    Fault('paths.backslash-room-off-by-one', 'src/setup/paths.cpp',
          'if (length + 2 > capacity)', 'if (length + 1 > capacity)'),
    Fault('paths.quote-strip-runs-on', 'src/setup/paths.cpp',
          "text[i + 1] != '\\0' && text[i + 1] != '\"'", "text[i + 1] != '\\0'"),
    # Command line.
    Fault('command.share-needs-one-backslash', 'src/setup/command_line.cpp',
          "folder[0] == '\\\\' && folder[1] == '\\\\';", "folder[0] == '\\\\';"),
    Fault('command.folder-fit-off-by-one', 'src/setup/command_line.cpp',
          'if (length > capacity - 1 || !IsAbsolute', 'if (length > capacity || !IsAbsolute'),
    Fault('command.quote-in-folder-taken', 'src/setup/command_line.cpp',
          "if (folder[i] == '\"')", "if (folder[i] == '\\0')"),
    Fault('command.switch-case-kept', 'src/setup/command_line.cpp',
          "static_cast<WideChar>(c - 'a' + 'A') : c;", 'c : c;'),
    # Payload entry names and package strings.
    Fault('names.last-capital-replaced', 'src/package/resource_name.cpp', "c <= 'Z'", "c < 'Z'"),
    Fault('strings.scratch-shrunk', 'src/package/strings.cpp',
          'ReadPackageString(id, state.scratch, kScratchCapacity);', 'ReadPackageString(id, state.scratch, 16);'),
    Fault('strings.one-argument-dropped', 'src/package/strings.cpp',
          'second ? 2 : (first ? 1 : 0)', 'second ? 2 : 0'),
    Fault('strings.empty-read-not-cleared', 'src/package/strings.cpp',
          "    if (length <= 0) {\n        buffer[0] = '\\0';", '    if (length <= 0) {'),
    # Dialogs.
    Fault('terms.empty-line-does-not-end-list', 'src/dialogs/terms_lines.cpp',
          "start <= length && text[start] != '\\0';", 'start < length;'),
    Fault('welcome.terms-capacity-halved', 'src/dialogs/welcome.cpp',
          'ReadPackageString(IDS_TERMS, state.terms, kTermsCapacity);',
          'ReadPackageString(IDS_TERMS, state.terms, kTermsCapacity / 2);'),
    Fault('welcome.cancel-accepts', 'src/dialogs/welcome.cpp',
          'case IDCANCEL:\n            CancelSetup(dialog);', 'case IDCANCEL:\n            EndDialog(dialog, 1);'),
    Fault('welcome.greeting-not-shown', 'src/dialogs/welcome.cpp',
          'IDC_WELCOME_TEXT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(state.terms)',
          'IDC_WELCOME_TEXT, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(state.caption)'),
    Fault('destination.typed-folder-cut', 'src/dialogs/destination.cpp',
          'WM_GETTEXT, kDestinationCapacity,', 'WM_GETTEXT, 16,'),
    Fault('destination.browsed-folder-not-shown', 'src/dialogs/destination.cpp',
          'if (BrowseForFolder(dialog, title, state.destination))',
          'if (!BrowseForFolder(dialog, title, state.destination))'),
    Fault('reinstall.no-means-yes', 'src/dialogs/reinstall.cpp',
          'case IDNO:\n            EndDialog(dialog, 0);', 'case IDNO:\n            EndDialog(dialog, 1);'),
    Fault('progress.no-caption', 'src/dialogs/progress.cpp',
          '    SetWindowTextW(dialog, state.caption);\n', ''),
    Fault('browse.chosen-path-dropped', 'src/dialogs/browse.cpp',
          'SHGetPathFromIDListW(item, path);', '(void)path;'),
    # The dialog templates the code addresses.
    Fault('templates.progress-close-box', 'resources/setup.rc',
          'IDD_PROGRESS DIALOG 0, 39, 180, 23\nSTYLE SETUP_FRAME\n',
          'IDD_PROGRESS DIALOG 0, 39, 180, 23\nSTYLE SETUP_FRAME | WS_SYSMENU\n'),
    Fault('templates.browse-id-changed', 'resources/setup.rc', 'IDC_BROWSE, BUTTON_CLASS', '4242, BUTTON_CLASS'),
    # The driver, the notices, the destination and extraction stages.
    Fault('main.caption-separator', 'src/setup/main.cpp', 'kCaptionCapacity, L" - ");', 'kCaptionCapacity, L" : ");'),
    Fault('notices.launch-unquoted', 'src/setup/notices.cpp', 'kQuotedPathFormat[] = L"\\"%s%s\\"";',
          'kQuotedPathFormat[] = L"%s%s";'),
    Fault('main.program-file-not-required', 'src/setup/main.cpp',
          'state.programFile, kProgramFileCapacity) == 0)', 'state.programFile, kProgramFileCapacity) < 0)'),
    Fault('notices.fatal-exits-0', 'src/setup/notices.cpp', 'ExitProcess(kExitFatal);', 'ExitProcess(kExitDone);'),
    Fault('notices.failed-dialog-passes', 'src/setup/notices.cpp', 'if (result == -1)', 'if (result == -2)'),
    Fault('notices.failed-message-swapped', 'src/setup/notices.cpp',
          'ReadPackageString(IDS_FAILED, failed, kNoticeCapacity);',
          'ReadPackageString(IDS_CANCELLED, failed, kNoticeCapacity);'),
    Fault('destination.previous-not-cut', 'src/setup/destination.cpp',
          '    CutAfterLastSeparator(state.destination);\n', ''),
    Fault('destination.program-files-value', 'src/setup/destination.cpp',
          'kProgramFilesValue[] = L"ProgramFilesDir";', 'kProgramFilesValue[] = L"ProgramFilesPath";'),
    Fault('main.x64-on-32-bit-windows', 'src/setup/main.cpp',
          'IsWow64Process(GetCurrentProcess(), &wow64) && wow64', 'IsWow64Process(GetCurrentProcess(), &wow64) || wow64'),
    Fault('entry.view-dropped', 'src/setup/uninstall_entry.cpp',
          'REGSAM access = kEntryAccess | state.registryView;', 'REGSAM access = kEntryAccess;'),
    Fault('entry.root-backslash-dropped', 'src/setup/uninstall_entry.cpp',
          "bool root = last == 0 || state.destination[last - 1] == ':';", 'bool root = false;'),
    Fault('entry.failure-exits-0', 'src/setup/uninstall_entry.cpp',
          'state.exitStatus = kExitEntryMissing;', 'state.exitStatus = kExitDone;'),
    Fault('entry.failure-message-swapped', 'src/setup/uninstall_entry.cpp',
          'FormatPackageMessage(IDS_NO_ENTRY,', 'FormatPackageMessage(IDS_CANT_EXTRACT,'),
    Fault('entry.size-not-counted', 'src/setup/extraction.cpp',
          'state.writtenBytes += size;', 'state.writtenBytes += 0;'),
    Fault('progress.second-start-runs', 'src/dialogs/progress.cpp',
          'if (state.extraction != kExtractionIdle)\n        return;', ''),
    Fault('progress.stray-end-ends', 'src/dialogs/progress.cpp',
          'if (state.extraction == kExtractionEnded)\n', ''),
    Fault('extraction.no-made-name-fallback', 'src/setup/extraction.cpp',
          'return FindResourceW(module, made, RT_RCDATA);', 'return 0;'),
    Fault('extraction.partial-file-kept', 'src/setup/extraction.cpp',
          '    if (!whole)\n        DeleteFileW(path);\n', ''),
    Fault('extraction.target-path-shrunk', 'src/setup/extraction.cpp',
          'CopyText(work, kWorkCapacity, state.destination)', 'CopyText(work, 64, state.destination)'),
    Fault('extraction.write-message-swapped', 'src/setup/extraction.cpp',
          'IDS_CANT_WRITE, state.destination, listedName', 'IDS_CANT_EXTRACT, state.destination, listedName'),
    # Capacities the setup and setup-pack share.
    Fault('limits.listed-name-shrunk', 'src/setup/limits.h',
          'kListedNameCapacity = 128,', 'kListedNameCapacity = 127,'),
    Fault('limits.terms-shrunk', 'src/setup/limits.h', 'kTermsCapacity = 3333,', 'kTermsCapacity = 3000,'),
    Fault('state.caption-shrunk', 'src/setup/state.h', 'kCaptionCapacity = 128,', 'kCaptionCapacity = 40,'),
    Fault('state.notice-shrunk', 'src/setup/state.h', 'kNoticeCapacity = 128,', 'kNoticeCapacity = 8,'),
    # setup-pack's rules for a manifest.
    Fault('pack.listed-name-one-too-long', 'tools/setup-pack/manifest.cpp',
          'CheckListedPath(*listed, kMaxListedName);', 'CheckListedPath(*listed, kMaxListedName + 1);'),
    Fault('pack.duplicate-by-case', 'tools/setup-pack/manifest.cpp',
          'byUpper.find(UpperCase(*listed));', 'byUpper.find(*listed);'),
    Fault('pack.device-name-con', 'tools/setup-pack/manifest.cpp', '{u"CON", u"PRN"', '{u"CONX", u"PRN"'),
    Fault('pack.folders-one-too-many', 'tools/setup-pack/manifest.cpp',
          'if (out.folders.size() > kMaxFolders)', 'if (out.folders.size() > kMaxFolders + 1)'),
    Fault('pack.empty-terms-line', 'tools/setup-pack/manifest.cpp', 'if (utf8.empty()) {', 'if (utf8 == "\\x01") {'),
    Fault('pack.terms-one-too-long', 'tools/setup-pack/manifest.cpp',
          'if (ok && out->size() > kMaxTerms) {', 'if (ok && out->size() > kMaxTerms + 1) {'),
    Fault('pack.version-part-range', 'tools/setup-pack/manifest.cpp',
          'std::stoul(part) > 0xFFFF', 'std::stoul(part) > 0x1FFFF'),
    Fault('pack.product-control-character', 'tools/setup-pack/manifest.cpp', 'if (ch < 0x20) {', 'if (ch < 0x1F) {'),
    Fault('pack.same-bytes-stored-twice', 'tools/setup-pack/manifest.cpp',
          'added.stored = added.sameAs == out->files.size() - 1;', 'added.stored = true;'),
    # setup-pack's image: the merge, the layout, the reader and the writer.
    Fault('pack.architecture-not-stored', 'tools/setup-pack/package_merge.cpp',
          'ours[IDS_ARCHITECTURE] = package.x64 ? u"" ARCHITECTURE_X64 : u"";', 'ours[IDS_ARCHITECTURE] = u"";'),
    Fault('pack.foreign-block-missed', 'tools/setup-pack/package_merge.cpp',
          'stub->foreignBlocks.count(block)', 'stub->foreignBlocks.count(block + 1)'),
    Fault('pack.ids-before-names', 'tools/setup-pack/pe_reader.cpp',
          'if (a.isName != b.isName)\n        return a.isName;', 'if (a.isName != b.isName)\n        return b.isName;'),
    Fault('pack.read-16-past-end', 'tools/setup-pack/pe_reader.cpp',
          's.size - offset < 2)', 's.size - offset < 1)'),
    Fault('pack.checksum-folds-once', 'tools/setup-pack/image_writer.cpp', 'while (sum >> 16)', 'if (sum >> 16)'),
    Fault('pack.moved-section-unaligned', 'tools/setup-pack/image_writer.cpp',
          'nextRva = AlignUp(h.virtualAddress + span, image.sectionAlignment);',
          'nextRva = h.virtualAddress + span;'),
    Fault('pack.data-entry-unaligned', 'tools/setup-pack/resource_writer.cpp',
          'dataAt = AlignUp(dataAt + items[i].data.size, 8);', 'dataAt = dataAt + items[i].data.size;'),
    Fault('pack.inspect-shared-bytes', 'tools/setup-pack/package_view.cpp',
          'leaf->size > 0 ? first : 0;', 'leaf->size > 0 ? id : 0;'),
    Fault('pack.surrogate-range', 'tools/setup-pack/unicode.cpp',
          'return cp >= 0xD800 && cp <= 0xDFFF;', 'return cp >= 0xD800 && cp < 0xDFFF;'),
    Fault('pack.program-path-unchecked', 'tools/setup-pack/manifest.cpp',
          'c.diags->Error(c.Where(c.product["program"].line), "program " + Quote(out->program) + " " + why);',
          '(void)why;'),
    Fault('pack.version-not-required', 'tools/setup-pack/manifest.cpp',
          'ProductText(c, "version", 0, true, &version)', 'ProductText(c, "version", 0, false, &version)'),
    Fault('pack.folders-any-key', 'tools/setup-pack/manifest.cpp', 'if (Lower(key) != "folder")', 'if (false)'),
    Fault('pack.nul-line-read', 'tools/setup-pack/manifest.cpp',
          "if (line.find('\\0') != std::string::npos) {", 'if (false) {'),
    Fault('pack.no-files-accepted', 'tools/setup-pack/manifest.cpp', 'if (c.files.empty())', 'if (false)'),
    Fault('pack.device-com0', 'tools/setup-pack/manifest.cpp',
          "(digit >= u'0' && digit <= u'9')", "(digit >= u'1' && digit <= u'9')"),
    Fault('pack.device-trailing-space', 'tools/setup-pack/manifest.cpp',
          "    while (!base.empty() && base.back() == u' ')\n        base.pop_back();\n", ''),
    Fault('pack.dot-part-accepted', 'tools/setup-pack/manifest.cpp',
          'part == u".." || part == u"."', 'part == u".."'),
    Fault('pack.terms-tab-refused', 'tools/setup-pack/manifest.cpp',
          "if (c < 0x20 && c != '\\t') {", 'if (c < 0x20) {'),
    Fault('pack.page-threshold-off-by-one', 'tools/setup-pack/pack.cpp',
          'package.payloadBytes >= kPageAlignThreshold', 'package.payloadBytes > kPageAlignThreshold'),
    Fault('pack.option-value-past-end', 'tools/setup-pack/pack.cpp',
          'bool hasValue = i + 1 < args.size();', 'bool hasValue = i < args.size();'),
    Fault('pack.inspect-not-alone', 'tools/setup-pack/pack.cpp',
          'if (o.check || !o.manifest.empty() || !o.output.empty()) {', 'if (o.check) {'),
    Fault('pack.size-of-code-zero', 'tools/setup-pack/image_writer.cpp',
          'plan->sizeOfCode += h.rawSize;', 'plan->sizeOfCode += 0;'),
    Fault('pack.setup-not-executable', 'tools/setup-pack/image_writer.cpp',
          '::fchmod(fd, 0777 & ~mask)', '::fchmod(fd, 0666 & ~mask)'),
    Fault('pack.grown-source-taken', 'tools/setup-pack/image_writer.cpp',
          'if (n != 0 || left != 0) {', 'if (left != 0) {'),
    Fault('pack.debug-data-accepted', 'tools/setup-pack/image_writer.cpp',
          'for (int dir : {kDirDebug, kDirBoundImport}) {', 'for (int dir : {kDirBoundImport}) {'),
    Fault('pack.any-section-after-resources', 'tools/setup-pack/image_writer.cpp',
          'image.dirRva[kDirBaseReloc] == s.virtualAddress && s.name == ".reloc";',
          'image.dirRva[kDirBaseReloc] == s.virtualAddress;'),
    Fault('pack.any-machine-accepted', 'tools/setup-pack/image_writer.cpp',
          'if (image.machine != 0x14C) {', 'if (false) {'),
    Fault('pack.data-past-its-section', 'tools/setup-pack/pe_reader.cpp',
          '        if (size > s.rawSize - within)\n            return false;\n', ''),
    Fault('pack.mz-unchecked', 'tools/setup-pack/pe_reader.cpp', 'magic16 != 0x5A4D || ', ''),
    Fault('pack.same-head-same-bytes', 'tools/setup-pack/sources.cpp',
          'if (SameContent(files[earlier].source, files[i].source))',
          'if (SameContent(files[earlier].source, files[earlier].source))'),
    Fault('pack.absolute-source-relative', 'tools/setup-pack/sources.cpp',
          "if (!source.empty() && source[0] == '/')", 'if (false)'),
    Fault('pack.overlong-utf8', 'tools/setup-pack/unicode.cpp', 'kMin[4] = {0, 0x80,', 'kMin[4] = {0, 0,'),
    Fault('pack.noncharacter-range', 'tools/setup-pack/unicode.cpp', 'cp <= 0xFDEF', 'cp < 0xFDEF'),
    Fault('pack.certificate-revision-unchecked', 'tools/setup-pack/signature.cpp',
          'Little(table + 4, 2) != kCertificateRevision2 || ', ''),
    Fault('pack.publisher-not-stored', 'tools/setup-pack/package_merge.cpp',
          'ours[IDS_PUBLISHER] = package.publisher;', 'ours[IDS_PUBLISHER] = u"";'),
    Fault('pack.program-name-as-argument', 'tools/setup-pack/main.cpp',
          'std::vector<std::string>(argv + 1, argv + argc)', 'std::vector<std::string>(argv, argv + argc)'),
    Fault('pack.terms-control-character-warned', 'tools/setup-pack/manifest.cpp',
          'diags->Error(where, "the line holds a control character; remove it");\n            ok = false;',
          'diags->Warning(where, "the line holds a control character; remove it");'),
    Fault('pack.version-part-six-digits', 'tools/setup-pack/manifest.cpp', 'part.size() > 5', 'part.size() > 6'),
    Fault('pack.headers-fit-off-by-one', 'tools/setup-pack/image_writer.cpp',
          'plan->sizeOfHeaders > image.sections[0].virtualAddress', 'plan->sizeOfHeaders >= image.sections[0].virtualAddress'),
    Fault('pack.inspect-checksum-field', 'tools/setup-pack/pack.cpp',
          'uint64_t field = peOffset + 24ull + kOptCheckSum;', 'uint64_t field = peOffset + 20ull + kOptCheckSum;'),
    Fault('pack.stub-messages-dropped', 'tools/setup-pack/package_merge.cpp',
          'stub->strings[id] = block[i];', 'stub->strings[id] = u"";'),
    Fault('pack.inspect-total-unsummed', 'tools/setup-pack/inspect.cpp', 'total += f.size;', 'total += 0;'),
    # Faults added for what no row above watched.
    Fault('progress.extraction-inline', 'src/dialogs/progress.cpp',
          'HANDLE thread = CreateThread(0, 0, ExtractBesideDialog, dialog, 0, 0);', 'HANDLE thread = 0;'),
    Fault('progress.box-owner-dropped', 'src/dialogs/progress.cpp',
          'ReportFailure(text, dialog, false);', 'ReportFailure(text, GetParent(dialog), false);'),
    Fault('progress.failure-shown-twice', 'src/dialogs/progress.cpp',
          '    state.pendingFailure = 0;\n', ''),
    Fault('notices.cancel-owner-dropped', 'src/setup/notices.cpp', 'ShowNotice(owner, cancelled);', 'ShowNotice(0, cancelled);'),
    Fault('notices.silent-box-shown', 'src/setup/notices.cpp', '    if (state.silent)\n        return;\n', ''),
    Fault('main.silent-progress-shown', 'src/setup/main.cpp',
          'if (state.silent)\n        RunExtraction(0);', 'if (false)\n        RunExtraction(0);'),
    Fault('main.x64-view-32', 'src/setup/main.cpp',
          'state.registryView = KEY_WOW64_64KEY;', 'state.registryView = KEY_WOW64_32KEY;'),
    Fault('destination.program-files-view-dropped', 'src/setup/destination.cpp',
          'OpenToRead(kCurrentVersionKey, state.registryView);', 'OpenToRead(kCurrentVersionKey, 0);'),
    Fault('destination.no-32-bit-fallback', 'src/setup/destination.cpp',
          '(state.registryView == 0 || !ReadAppPath(0))', '(state.registryView == 0 || true)'),
    Fault('welcome.terms-line-ansi', 'src/dialogs/welcome.cpp',
          'SendMessageW(static_cast<HWND>(list), LB_ADDSTRING', 'SendMessageA(static_cast<HWND>(list), LB_ADDSTRING'),
    Fault('destination.typed-folder-ansi', 'src/dialogs/destination.cpp',
          'SendDlgItemMessageW(dialog, IDC_DEST_EDIT, WM_GETTEXT', 'SendDlgItemMessageA(dialog, IDC_DEST_EDIT, WM_GETTEXT'),
    Fault('extraction.file-path-ansi', 'src/setup/extraction.cpp',
          'HANDLE file = CreateFileW(path, GENERIC_WRITE,',
          'HANDLE file = CreateFileA(reinterpret_cast<const char*>(path), GENERIC_WRITE,'),
    Fault('extraction.size-rounded-down', 'src/setup/extraction.cpp',
          'DWORD size = SizeofResource(module, entry);', 'DWORD size = SizeofResource(module, entry) & ~3u;'),
    Fault('extraction.unopened-file-passes', 'src/setup/extraction.cpp',
          'if (file == INVALID_HANDLE_VALUE)\n        return false;', 'if (file == INVALID_HANDLE_VALUE)\n        return true;'),
    Fault('extraction.failure-exits-0', 'src/setup/extraction.cpp',
          'state.exitStatus = kExitFilesMissing;', 'state.exitStatus = kExitDone;'),
    Fault('extraction.status-stale-at-box', 'src/setup/extraction.cpp',
          '    ShowStatus(progress, true);\n', ''),
    Fault('entry.size-rounded-down', 'src/setup/uninstall_entry.cpp',
          '(state.writtenBytes + 1023) >> 10', 'state.writtenBytes >> 10'),
    Fault('reinstall.esc-answers', 'src/dialogs/reinstall.cpp', '        case IDNO:\n', '        case IDCANCEL:\n        case IDNO:\n'),
    Fault('templates.terms-list-narrowed', 'resources/setup.rc',
          'LBS_EXTENDEDSEL, 8, 42, 176, 75', 'LBS_EXTENDEDSEL, 8, 42, 160, 75'),
    Fault('main.launch-hidden', 'src/setup/main.cpp', 'startup.wShowWindow = SW_SHOWNORMAL;', 'startup.wShowWindow = SW_SHOWMINNOACTIVE;'),
    Fault('pack.inspect-signature-line-dropped', 'tools/setup-pack/inspect.cpp',
          '    out << "signed:    "', '    if (false)\n        out << "signed:    "'),
]

STAGES = ['build', 'unit', 'e2e', 'fuzz']

# The Wine groups that watch a file most closely run first, so that a fault there usually costs one
# group instead of the whole stage; the other groups still run after them.
FIRST_GROUPS = {
    'src/dialogs/welcome.cpp': 'welcome|hostile|locale_ja',
    'src/dialogs/destination.cpp': 'destination',
    'src/dialogs/reinstall.cpp': 'destination',
    'src/dialogs/browse.cpp': 'destination',
    'src/dialogs/progress.cpp': 'extraction_journeys|extraction_failures',
    'src/setup/main.cpp': 'failure_exits|journeys|destination|extraction_failures|win64',
    'src/setup/notices.cpp': 'failure_exits|dialog_failures|extraction_failures|destination',
    'src/setup/destination.cpp': 'destination|win64',
    'src/setup/extraction.cpp': 'extraction_journeys|extraction_failures',
    'src/setup/uninstall_entry.cpp': 'extraction_journeys|extraction_failures|win64',
    'src/package/strings.cpp': 'hostile',
    'src/setup/state.h': 'hostile',
    'src/setup/limits.h': 'hostile',
    'resources/setup.rc': 'welcome|extraction_journeys|destination',
    'tools/setup-pack/inspect.cpp': 'signed_sample_verifies',
}


def occurrences(tree, fault):
    path = os.path.join(tree, fault.path)
    if not os.path.isfile(path):
        return -1
    with open(path, encoding='utf-8') as f:
        return f.read().count(fault.find)


def staleness(tree, fault):
    """Why the fault cannot be applied to the tree, or '' when its text is there exactly once."""
    count = occurrences(tree, fault)
    return ('' if count == 1 else 'no such file' if count < 0 else 'text not found' if count == 0
            else 'text found %d times' % count)


def tree_files(source):
    """The files of the tree as git sees them (tracked, and untracked but not ignored), else every file."""
    listed = subprocess.run(['git', '-C', source, 'ls-files', '-z', '--cached', '--others', '--exclude-standard'],
                            capture_output=True)
    if listed.returncode == 0:
        return [p for p in listed.stdout.decode().split('\0') if p and os.path.isfile(os.path.join(source, p))]
    found = []
    for folder, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if not (folder == source and d in ('build', '.git'))]
        found += [os.path.relpath(os.path.join(folder, f), source) for f in files]
    return found


def sync(source, scratch):
    """Makes scratch hold the source's files; unchanged ones are left alone so the build stays incremental."""
    files = set(tree_files(source))
    record = os.path.join(scratch, '.mutate-files')
    before = set(open(record).read().split('\0')) - {''} if os.path.exists(record) else set()
    for gone in before - files:
        if os.path.exists(os.path.join(scratch, gone)):
            os.remove(os.path.join(scratch, gone))
    for rel in sorted(files):
        src, dst = os.path.join(source, rel), os.path.join(scratch, rel)
        with open(src, 'rb') as f:
            data = f.read()
        if os.path.exists(dst):
            with open(dst, 'rb') as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)
    with open(record, 'w') as f:
        f.write('\0'.join(sorted(files)))


def first_failure(stage, output):
    """The stage that failed as the report names it, and the test (or fuzz target) that failed first."""
    patterns = {'unit': r'\d+/\d+ Test +#\d+: (\S+) .*(?:Failed|Exception|Timeout)',
                'e2e': r'\d+/\d+ Test +#\d+: (\S+) .*(?:Failed|Exception|Timeout)',
                'fuzz': r'fuzzing found faults in: (.*)',
                'build': r'(\S+:\d+:\d+: error: .*)'}
    # A test package that setup-pack refuses, as one at a shared limit is when the limit shrinks,
    # is a test that failed, not code that did not build.
    refused = re.search(r'e2e/packages/(\w+)/Setup\.exe\] Error', output) if stage == 'build' else None
    if refused:
        return 'package', 'setup-pack refused test package ' + refused.group(1)
    found = re.search(patterns[stage], output)
    return stage, found.group(1).strip() if found else ''


def e2e_commands(path):
    run = ['ctest', '--test-dir', 'build/win', '--stop-on-failure']
    first = FIRST_GROUPS.get(path)
    if not first:
        return [run]
    pattern = '^e2e\\.(%s)$' % first
    return [run + ['-R', pattern], run + ['-E', pattern]]


def run_stage(stage, scratch, log, fuzz_seconds, stages, path):
    jobs = str(os.cpu_count() or 2)
    commands = {
        'build': [['make', '-s', 'host'] + (['win'] if 'e2e' in stages else [])],
        'unit': [['ctest', '--test-dir', 'build/host', '--stop-on-failure', '-j', jobs]],
        'e2e': e2e_commands(path),
        'fuzz': [['bash', 'fuzz/run.sh', '--brief', 'all', str(fuzz_seconds)]],
    }[stage]
    output = ''
    for command in commands:
        done = subprocess.run(command, cwd=scratch, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              errors='replace')
        output += done.stdout
        log.write('$ %s\n%s\n' % (' '.join(command), done.stdout))
        log.flush()
        if done.returncode != 0:
            return first_failure(stage, output)
    return None


def run_suite(scratch, log, fuzz_seconds, stages, path=None):
    """The first stage that fails and what failed in it, or (None, '') when the whole suite passed."""
    for stage in stages:
        failed = run_stage(stage, scratch, log, fuzz_seconds, stages, path)
        if failed:
            return failed
    return None, ''


def apply(scratch, fault):
    path = os.path.join(scratch, fault.path)
    with open(path, encoding='utf-8') as f:
        original = f.read()
    with open(path, 'w', encoding='utf-8') as f:
        f.write(original.replace(fault.find, fault.replace, 1))
    return original


def restore(scratch, fault, original):
    with open(os.path.join(scratch, fault.path), 'w', encoding='utf-8') as f:
        f.write(original)


def select(names):
    if not names:
        return list(FAULTS)
    wanted = [n for part in names for n in part.split(',') if n]
    chosen = [f for f in FAULTS if any(fnmatch.fnmatchcase(f.name, w) for w in wanted)]
    unknown = [w for w in wanted if not any(fnmatch.fnmatchcase(f.name, w) for f in FAULTS)]
    if unknown:
        sys.exit('mutate: no fault named %s; see --list' % ', '.join(unknown))
    return chosen


def list_faults(source, faults):
    for fault in faults:
        why = staleness(source, fault)
        print('%-40s %-36s %s' % (fault.name, fault.path, 'stale: ' + why if why else 'ok'))
    return 0


def check(source, scratch, faults, baseline, fuzz_seconds, stages):
    os.makedirs(os.path.join(scratch, 'mutate-logs'), exist_ok=True)
    print('scratch tree: %s' % scratch, flush=True)
    sync(source, scratch)
    if baseline:
        with open(os.path.join(scratch, 'mutate-logs', 'baseline.log'), 'w') as log:
            stage, what = run_suite(scratch, log, fuzz_seconds, stages)
        if stage:
            print('the suite fails without any fault (%s: %s); see %s/mutate-logs/baseline.log'
                  % (stage, what, scratch))
            return 1
        print('baseline: the suite passes without a fault', flush=True)
    results = collections.OrderedDict((k, []) for k in ('caught', 'survived', 'stale', 'no build'))
    for fault in faults:
        why = staleness(scratch, fault)
        if why:
            results['stale'].append((fault, why))
            print('stale     %-40s %s: %s' % (fault.name, fault.path, why), flush=True)
            continue
        started = time.time()
        original = apply(scratch, fault)
        try:
            with open(os.path.join(scratch, 'mutate-logs', fault.name + '.log'), 'w') as log:
                stage, what = run_suite(scratch, log, fuzz_seconds, stages, fault.path)
        finally:
            restore(scratch, fault, original)
        kind = 'survived' if stage is None else 'no build' if stage == 'build' else 'caught'
        note = '' if stage is None else '%s: %s' % (stage, what or '(see its log)')
        results[kind].append((fault, note))
        print('%-9s %-40s %4.0f s  %s' % (kind, fault.name, time.time() - started, note), flush=True)
    applied = len(results['caught']) + len(results['survived'])
    print('\nscore: %d of %d applied faults caught (%d stale, %d did not build)'
          % (len(results['caught']), applied, len(results['stale']), len(results['no build'])))
    for fault, _ in results['survived']:
        print('survived: %s (%s): %r -> %r' % (fault.name, fault.path, fault.find, fault.replace))
    return 1 if results['survived'] else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--list', action='store_true', help='list the faults and whether each is stale')
    parser.add_argument('--only', action='append', metavar='NAMES',
                        help='comma-separated fault names or shell patterns (may be repeated)')
    parser.add_argument('--work', help='scratch folder to keep and reuse (default: a temporary one)')
    parser.add_argument('--source', default=ROOT, help='the tree to check (default: this checkout)')
    parser.add_argument('--no-baseline', action='store_true', help='skip the run of the suite without a fault')
    parser.add_argument('--host', action='store_true', help='skip the Wine stage (and the Windows build)')
    parser.add_argument('--fuzz-seconds', type=int, default=2, help='seconds per fuzz target (default 2)')
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    faults = select(args.only)
    if args.list:
        return list_faults(source, faults)
    scratch = os.path.abspath(args.work) if args.work else tempfile.mkdtemp(prefix='mutate-')
    if os.path.commonpath([scratch, source]) in (source, scratch):
        sys.exit('mutate: the scratch folder %s must lie outside the tree %s, which is only read' % (scratch, source))
    try:
        stages = [s for s in STAGES if not (args.host and s == 'e2e')]
        return check(source, scratch, faults, not args.no_baseline, args.fuzz_seconds, stages)
    finally:
        if not args.work:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
