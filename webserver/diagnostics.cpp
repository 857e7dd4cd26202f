// diagnostics.cpp: the request's truncation warnings, printed for every
// request, and a readable description of one connection's request, byte
// counts, parser state, headers, body and warnings, for embedding programs
// that log or show what the server received.
#include "internal.h"

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
    const char* printed; // a format with one conversion, for the detail
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
    {&Warnings::methodTruncated, "method was truncated to %s", WarningDetailMethod, 0,
     "methodTruncated - you can increase the size of method[]\n"},
    {&Warnings::pathTruncated, "path was truncated to %s", WarningDetailPath, 0,
     "pathTruncated - you can increase the size of path[]\n"},
    {&Warnings::versionTruncated, "version was truncated to %s", WarningDetailVersion, 0,
     "versionTruncated - you can increase the size of version[]\n"},
    {&Warnings::bodyTruncated, "body was truncated to %llu bytes", WarningDetailBodyLength, 0,
     "bodyTruncated - you can increase REQUEST_MAX_BODY_LENGTH"},
};

void requestPrintWarnings(const Request* request, const char* remoteHost, const char* remotePort) {
    for (const auto& warning : WARNINGS) {
        if (!(request->warnings.*warning.flag)) {
            continue;
        }
        printf("Warning: Request from %s:%s ", remoteHost, remotePort);
        switch (warning.detail) {
        case WarningDetailLimit:
            printf(warning.printed, warning.limit);
            break;
        case WarningDetailMethod:
            printf(warning.printed, request->method);
            break;
        case WarningDetailPath:
            printf(warning.printed, request->path);
            break;
        case WarningDetailVersion:
            printf(warning.printed, request->version);
            break;
        case WarningDetailBodyLength:
            printf(warning.printed, (unsigned long long)request->body.length);
            break;
        }
        printf("\n");
    }
}

HeapString connectionDebugStringCreate(const Connection* connection) {
    const Request* request = &connection->request;
    HeapString text;
    heapStringInit(&text);
    heapStringAppendFormat(&text, "%s %s from %s:%s\n", request->method, request->path, connection->remoteHost,
                           connection->remotePort);
    heapStringAppendFormat(&text, "Request URL Path decoded to '%s'\n", request->pathDecoded);
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
        heapStringAppendFormat(&text, "'%s' = '%s'\n", NULL == header->name.contents ? "" : header->name.contents,
                               NULL == header->value.contents ? "" : header->value.contents);
    }
    if (NULL != request->body.contents) {
        heapStringAppendFormat(&text, "\n*** Request Body ***\n%s\n", request->body.contents);
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
