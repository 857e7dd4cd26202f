// params.cpp: parameter decoding and HTML escaping.
#include <stdlib.h>
#include <string.h>

#include "internal.h"

char* strdupDecodeGETorPOSTParam(const char* paramNameIncludingEquals, const char* paramString,
                                 const char* valueIfNotFound) {
    WEBSERVER_ASSERT(strstr(paramNameIncludingEquals, "=") != NULL &&
                     "You have to pass an equals sign after the param name, like 'name='");
    if (NULL == paramString) {
        return strdupIfNotNull(valueIfNotFound);
    }
    // A plain substring search: "name=" also matches inside "longname=".
    const char* occurrence = strstr(paramString, paramNameIncludingEquals);
    if (NULL == occurrence) {
        return strdupIfNotNull(valueIfNotFound);
    }
    const char* value = strchr(occurrence, '=') + 1;
    if (*value == '\0') {
        return (char*)webserverCallocOrDie(1, 1, "a parameter value");
    }
    // Sized from the whole remainder: decoding never writes more than it
    // reads, so the value always fits and one allocation suffices.
    size_t remainderLength = strlen(value);
    char* decoded = (char*)webserverCallocOrDie(remainderLength + 1, 1, "a parameter value");
    URLDecode(value, decoded, remainderLength + 1, NULL, URLDecodeTypeParameter);
    return decoded;
}

char* strdupDecodeGETParam(const char* paramNameIncludingEquals, const Request* request, const char* valueIfNotFound) {
    // The raw target, so that every value is decoded exactly once.
    return strdupDecodeGETorPOSTParam(paramNameIncludingEquals, request->path, valueIfNotFound);
}

char* strdupDecodePOSTParam(const char* paramNameIncludingEquals, const Request* request, const char* valueIfNotFound) {
    return strdupDecodeGETorPOSTParam(paramNameIncludingEquals, request->body.contents, valueIfNotFound);
}

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
