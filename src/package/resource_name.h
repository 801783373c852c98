// The rule that turns a listed file name into the name of its payload entry.
#ifndef PACKAGE_RESOURCE_NAME_H
#define PACKAGE_RESOURCE_NAME_H

#include "setup/text.h"

// In place: every UTF-16 unit that is not an ASCII letter becomes '_'; letters keep their case.
void MakeResourceName(WideChar* name);

#endif
