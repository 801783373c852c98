#!/usr/bin/env python3
"""Writes an NSIS script that installs a payload folder silently, stored or with solid LZMA.

usage: nsis_script.py PAYLOAD_DIR OUT_EXE off|lzma > script.nsi
"""
import os
import sys

payload, out, mode = sys.argv[1], sys.argv[2], sys.argv[3]
compression = 'SetCompress off' if mode == 'off' else 'SetCompressor /SOLID lzma'
print('\n'.join([
    'Unicode true',
    compression,
    'Name "Bench"',
    'OutFile "%s"' % out,
    'InstallDir "$TEMP\\Bench"',
    'RequestExecutionLevel user',
    'SilentInstall silent',
    'Section',
    '  SetOutPath "$INSTDIR"',
    '  File "%s"' % os.path.join(payload, '*.*'),
    'SectionEnd',
]))
