// Terms text to list lines: line feeds cut, the first empty piece ends the list.
#include "dialogs/terms_lines.h"

void SplitTermsLines(WideChar* text, LineSink sink, void* context)
{
    int length = 0;
    for (; text[length] != '\0'; ++length) {
        if (text[length] == '\n')
            text[length] = '\0';
    }
    for (int start = 0; start <= length && text[start] != '\0';) {
        const WideChar* piece = text + start;
        sink(context, piece);
        while (text[start] != '\0')
            ++start;
        ++start;
    }
}
