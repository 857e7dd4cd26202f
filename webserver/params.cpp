// params.cpp: parameter decoding and HTML escaping.
#include <stdlib.h>
#include <string.h>

#include "internal.h"

char* strdupEscapeForHTML(const char* stringToEscape) {
    if (stringToEscape[0] == '\0') {
        return (char*)webserverCallocOrDie(1, 1, "an escaped text");
    }
    HeapString escaped;
    heapStringInit(&escaped);
    for (const char* cursor = stringToEscape; *cursor != '\0'; cursor++) {
        switch (*cursor) {
        case ' ':
            heapStringAppendString(&escaped, "&nbsp;");
            break;
        case '"':
            heapStringAppendString(&escaped, "&quot;");
            break;
        case '&':
            heapStringAppendString(&escaped, "&amp;");
            break;
        case '\'':
            heapStringAppendString(&escaped, "&#039;");
            break;
        case '<':
            heapStringAppendString(&escaped, "&lt;");
            break;
        case '>':
            heapStringAppendString(&escaped, "&gt;");
            break;
        default:
            heapStringAppendChar(&escaped, *cursor);
            break;
        }
    }
    return escaped.contents;
}
