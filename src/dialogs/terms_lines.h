// Splitting of the terms text into list lines, kept apart from the list box.
#ifndef DIALOGS_TERMS_LINES_H
#define DIALOGS_TERMS_LINES_H

#include "setup/text.h"

typedef void (*LineSink)(void* context, const WideChar* line);

// Cuts text in place at every line feed and hands each piece to sink in order,
// stopping at the first empty piece: a final line feed adds nothing and two line
// feeds in a row end the list. Carriage returns stay part of their line.
void SplitTermsLines(WideChar* text, LineSink sink, void* context);

#endif
