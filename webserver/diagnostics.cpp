// diagnostics.cpp: a readable description of one connection's request,
// byte counts, parser state, headers, body and truncation warnings, for
// embedding programs that log or show what the server received.
#include "internal.h"

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
    const Warnings* warnings = &request->warnings;
    bool anyWarning = false;
    if (warnings->headersStringPoolExhausted) {
        heapStringAppendString(&text, "headersStringPoolExhausted - try upping REQUEST_HEADERS_MAX_MEMORY\n");
        anyWarning = true;
    }
    if (warnings->tooManyHeaders) {
        heapStringAppendString(&text, "tooManyHeaders - try upping REQUEST_MAX_HEADERS\n");
        anyWarning = true;
    }
    if (warnings->methodTruncated) {
        heapStringAppendString(&text, "methodTruncated - you can increase the size of method[]\n");
        anyWarning = true;
    }
    if (warnings->pathTruncated) {
        heapStringAppendString(&text, "pathTruncated - you can increase the size of path[]\n");
        anyWarning = true;
    }
    if (warnings->versionTruncated) {
        heapStringAppendString(&text, "versionTruncated - you can increase the size of version[]\n");
        anyWarning = true;
    }
    if (warnings->bodyTruncated) {
        heapStringAppendString(&text, "bodyTruncated - you can increase REQUEST_MAX_BODY_LENGTH");
        anyWarning = true;
    }
    if (!anyWarning) {
        heapStringAppendString(&text, "No warnings\n");
    }
    return text;
}
