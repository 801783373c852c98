// Reads of the package string table: one entry, and message formats through scratch.
#ifndef PACKAGE_STRINGS_H
#define PACKAGE_STRINGS_H

#include "platform/win32.h"

// Length read, 0 when the entry is missing or empty; cut to capacity minus one.
int ReadPackageString(UINT id, char* buffer, int capacity);

// Loads message id into scratch and formats it with up to two %s arguments into out.
void FormatPackageMessage(UINT id, char* out, int capacity, const char* first,
                          const char* second = 0);

#endif
