/* The capacities under which the setup reads its package strings, shared with setup-pack,
   which refuses what would not arrive whole. In UTF-16 units, terminating NUL included. */
#ifndef SETUP_LIMITS_H
#define SETUP_LIMITS_H

#include "resource.h"

enum {
    kProductNameCapacity = 48,
    kProgramFileCapacity = 48,
    kTermsCapacity = 3333,      /* welcome heading, then the terms text */
    kListedNameCapacity = 128,  /* one entry of the file list */
    kDestinationCapacity = 512,
    kPublisherCapacity = 128,
    kVersionTextCapacity = 24,  /* up to four numbers of five digits, three dots */
    /* "x64" or "user" with room to spare, so that a longer text is read as itself, not cut to one. */
    kChoiceCapacity = 8,
    /* The folder list is read until its first empty id, so 9999 must stay empty for it to
       end before the file list does. */
    kMaxFolders = IDS_FILE_FIRST - IDS_SUBDIR_FIRST - 1,
    kMaxFiles = 0x10000 - IDS_FILE_FIRST
};

#endif
