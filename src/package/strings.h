// Reads of the package string table: one entry, and message formats through scratch.
#ifndef PACKAGE_STRINGS_H
#define PACKAGE_STRINGS_H

#include "platform/win32.h"
#include "setup/text.h"

// Length read, 0 when the entry is missing or empty; cut to capacity minus one.
int ReadPackageString(UINT id, WideChar* buffer, int capacity);

// Loads message id into scratch and formats it with up to two %s arguments into out.
void FormatPackageMessage(UINT id, WideChar* out, int capacity, const WideChar* first,
                          const WideChar* second = 0);

#endif
