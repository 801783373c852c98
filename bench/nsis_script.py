#!/usr/bin/env python3
"""Writes an NSIS script that installs a payload folder silently: stored, zlib (NSIS's default) or solid LZMA.

usage: nsis_script.py PAYLOAD_DIR OUT_EXE off|zlib|lzma > script.nsi
"""
import os
import sys

payload, out, mode = sys.argv[1], sys.argv[2], sys.argv[3]
compression = {'off': 'SetCompress off', 'zlib': 'SetCompressor zlib', 'lzma': 'SetCompressor /SOLID lzma'}[mode]
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
