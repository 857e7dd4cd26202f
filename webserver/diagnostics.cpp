// diagnostics.cpp: the request's truncation warnings, printed for every
// request, and a readable description of one connection's request, byte
// counts, parser state, headers, body and warnings, for embedding programs
// that log or show what the server received. What a peer sent is shown
// escaped, so that no request can write a line of the log.
#include <string.h>

#include "internal.h"

// One byte as the log shows it; returns the length written to out (at most 4).
static size_t escapeByte(unsigned char c, char* out) {
    static const char HEX[] = "0123456789ABCDEF";
    if (c == '\\') {
        out[0] = out[1] = '\\';
        return 2;
    }
    if (c < 0x20 || c >= 0x7f) {
        out[0] = '\\';
        out[1] = 'x';
        out[2] = HEX[c >> 4];
        out[3] = HEX[c & 0xF];
        return 4;
    }
    out[0] = (char)c;
    return 1;
}

void logAppendEscaped(HeapString* line, const char* bytes, size_t length) {
    for (size_t i = 0; i < length; i++) {
        char escaped[4];
        size_t width = escapeByte((unsigned char)bytes[i], escaped);
        for (size_t k = 0; k < width; k++) {
            heapStringAppendChar(line, escaped[k]);
        }
    }
}

const char* logEscapeInto(const char* bytes, size_t length, char* out, size_t capacity) {
    size_t used = 0;
    for (size_t i = 0; i < length; i++) {
        char escaped[4];
        size_t width = escapeByte((unsigned char)bytes[i], escaped);
        if (used + width >= capacity) {
            break;
        }
        memcpy(out + used, escaped, width);
        used += width;
    }
    out[used] = '\0';
    return out;
}

static void appendEscapedSlice(HeapString* line, const PoolString* slice) {
    if (NULL != slice->contents) {
        logAppendEscaped(line, slice->contents, slice->length);
    }
}

// What each printed warning names after "Warning: Request from HOST:PORT ".
enum WarningDetail {
    WarningDetailLimit,      // the limit that was reached
    WarningDetailMethod,     // what is left of the method
    WarningDetailPath,       // what is left of the path
    WarningDetailVersion,    // what is left of the version
    WarningDetailBodyLength, // the bytes of the body that were kept
};

// Every truncation flag once, in the order both walks report them.
static const struct {
    bool Warnings::*flag;
    const char* printed; // the text before the detail, or a format with one conversion for a number
    WarningDetail detail;
    long limit; // for WarningDetailLimit
    const char* described;
} WARNINGS[] = {
    {&Warnings::headersStringPoolExhausted,
     "exhausted the header string pool so some information will be lost. You can try increasing "
     "REQUEST_HEADERS_MAX_MEMORY which is currently %ld bytes",
     WarningDetailLimit, (long)REQUEST_HEADERS_MAX_MEMORY,
     "headersStringPoolExhausted - try upping REQUEST_HEADERS_MAX_MEMORY\n"},
    {&Warnings::tooManyHeaders,
     "had too many headers and we dropped some. You can try increasing REQUEST_MAX_HEADERS which is currently %ld",
     WarningDetailLimit, (long)REQUEST_MAX_HEADERS, "tooManyHeaders - try upping REQUEST_MAX_HEADERS\n"},
    {&Warnings::methodTruncated, "method was truncated to ", WarningDetailMethod, 0,
     "methodTruncated - you can increase the size of method[]\n"},
    {&Warnings::pathTruncated, "path was truncated to ", WarningDetailPath, 0,
     "pathTruncated - you can increase the size of path[]\n"},
    {&Warnings::versionTruncated, "version was truncated to ", WarningDetailVersion, 0,
     "versionTruncated - you can increase the size of version[]\n"},
    {&Warnings::bodyTruncated, "body was truncated to %llu bytes", WarningDetailBodyLength, 0,
     "bodyTruncated - you can increase REQUEST_MAX_BODY_LENGTH"},
};

void requestPrintWarnings(const Request* request, const char* remoteHost, const char* remotePort) {
    for (const auto& warning : WARNINGS) {
        if (!(request->warnings.*warning.flag)) {
            continue;
        }
        // Made whole first and written at once, so that lines of concurrent
        // connections never splice.
        HeapString line;
        heapStringInit(&line);
        heapStringAppendFormat(&line, "Warning: Request from %s:%s ", remoteHost, remotePort);
        switch (warning.detail) {
        case WarningDetailLimit:
            heapStringAppendFormat(&line, warning.printed, warning.limit);
            break;
        case WarningDetailMethod:
            heapStringAppendString(&line, warning.printed);
            logAppendEscaped(&line, request->method, request->methodLength);
            break;
        case WarningDetailPath:
            heapStringAppendString(&line, warning.printed);
            logAppendEscaped(&line, request->path, request->pathLength);
            break;
        case WarningDetailVersion:
            heapStringAppendString(&line, warning.printed);
            logAppendEscaped(&line, request->version, request->versionLength);
            break;
        case WarningDetailBodyLength:
            heapStringAppendFormat(&line, warning.printed, (unsigned long long)request->body.length);
            break;
        }
        heapStringAppendChar(&line, '\n');
        fwrite(line.contents, 1, line.length, stdout);
        heapStringFreeContents(&line);
    }
}

HeapString connectionDebugStringCreate(const Connection* connection) {
    const Request* request = &connection->request;
    HeapString text;
    heapStringInit(&text);
    logAppendEscaped(&text, request->method, request->methodLength);
    heapStringAppendChar(&text, ' ');
    logAppendEscaped(&text, request->path, request->pathLength);
    heapStringAppendFormat(&text, " from %s:%s\n", connection->remoteHost, connection->remotePort);
    heapStringAppendString(&text, "Request URL Path decoded to '");
    logAppendEscaped(&text, request->pathDecoded, request->pathDecodedLength);
    heapStringAppendString(&text, "'\n");
    heapStringAppendFormat(&text, "Bytes sent:%lld\n", (long long)connection->status.bytesSent);
    heapStringAppendFormat(&text, "Bytes received:%lld\n", (long long)connection->status.bytesReceived);
    heapStringAppendFormat(&text, "Final request parse state:%d\n", (int)request->state);
    heapStringAppendFormat(&text, "Header pool used:%llu\n", (unsigned long long)request->headersStringPoolOffset);
    heapStringAppendFormat(&text, "Header count:%llu\n", (unsigned long long)request->headersCount);

    heapStringAppendString(&text, "\n*** Request Headers ***\n");
    for (size_t i = 0; i < request->headersCount; i++) {
        const Header* header = &request->headers[i];
        // Counted headers always have both texts in the pool; print an empty
        // text rather than dereference a slice that never got storage.
        heapStringAppendChar(&text, '\'');
        appendEscapedSlice(&text, &header->name);
        heapStringAppendString(&text, "' = '");
        appendEscapedSlice(&text, &header->value);
        heapStringAppendString(&text, "'\n");
    }
    if (NULL != request->body.contents) {
        heapStringAppendString(&text, "\n*** Request Body ***\n");
        logAppendEscaped(&text, request->body.contents, request->body.length);
        heapStringAppendChar(&text, '\n');
    }

    heapStringAppendString(&text, "\n*** Request Warnings ***\n");
    bool anyWarning = false;
    for (const auto& warning : WARNINGS) {
        if (request->warnings.*warning.flag) {
            heapStringAppendString(&text, warning.described);
            anyWarning = true;
        }
    }
    if (!anyWarning) {
        heapStringAppendString(&text, "No warnings\n");
    }
    return text;
}
