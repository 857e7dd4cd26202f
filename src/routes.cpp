// routes.cpp: the print service's answers to HTTP requests (printing and the
// printer's status) and the bridge that carries raw ESC/POS streams to the
// printer and its replies back.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "escpos.h"
#include "printservice.h"
#include "webserver.h"

const char* printerDevicePath = NULL;

static bool pathIsRoute(const char* path, const char* route) {
    size_t routeLength = strlen(route);
    return 0 == strncmp(path, route, routeLength) && (path[routeLength] == '\0' || path[routeLength] == '?');
}

static bool pathStartsWith(const char* path, const char* prefix) {
    return 0 == strncmp(path, prefix, strlen(prefix));
}

// Without its copy an answer would lose the lines a page needs to read it.
static char* copyHeaderLines(const char* lines) {
    char* copy = strdup(lines);
    if (NULL == copy) {
        fprintf(stderr, "Out of memory: could not copy the CORS lines of an answer\n");
        fflush(stderr);
        abort();
    }
    return copy;
}

static Response* answer(int code, const char* status, const char* corsOrNull, const char* text) {
    Response* response = responseAlloc(code, status, "text/plain", 0);
    if (NULL != corsOrNull) {
        response->extraHeaders = copyHeaderLines(corsOrNull);
    }
    if (NULL != text) {
        heapStringSetToCString(&response->body, text);
    }
    return response;
}

// A job whose client reset its connection while it waited is not printed:
// nobody would see the answer, and a retry would print it twice.
static bool clientStillWaits(void* connection) {
    return connectionPeerIsThere((const Connection*)connection);
}

// Prints the body as one job. Returns the text of a 503 answer when the
// printer did not take the whole job, null when it did.
static const char* printBody(const HeapString* body, Connection* connection) {
    ssize_t length = (ssize_t)body->length;
    PrinterRefusal refusal = PRINTER_TAKES_JOB;
    ssize_t num =
        escpos_print_checked(printerDevicePath, body->contents, length, clientStillWaits, connection, &refusal);
    if (num == ESCPOS_PRINTER_BUSY) {
        return "The printer is busy with another job; nothing was printed.\n";
    }
    if (num == ESCPOS_JOB_NOT_WANTED) {
        return "The client left while the job waited; nothing was printed.\n";
    }
    if (num == ESCPOS_SERVER_STOPPING) {
        return "The server is stopping; nothing was printed.\n";
    }
    if (num > 0) {
        escpos_print(NULL, 0, NULL, 0);
        return NULL;
    }
    if (length == 0) {
        return NULL; // nothing to print: the device was opened and closed again
    }
    switch (refusal) {
    case PRINTER_REFUSES_COVER_OPEN:
        return "The printer's cover is open; nothing was printed.\n";
    case PRINTER_REFUSES_PAPER_OUT:
        return "The printer is out of paper; nothing was printed.\n";
    case PRINTER_REFUSES_ERROR:
        return "The printer reports an error; nothing was printed.\n";
    case PRINTER_TAKES_JOB:
        break;
    }
    if (num == 0) {
        return "The printer device could not be opened; nothing was printed.\n";
    }
    return "Writing to the printer device failed; the receipt was not printed whole.\n";
}

static void appendFlag(HeapString* json, const char* name, int flag) {
    heapStringAppendFormat(json, ", \"%s\": %s", name, flag < 0 ? "null" : (flag ? "true" : "false"));
}

static void appendTextOrNull(HeapString* json, const char* name, const char* text) {
    if (NULL == text) {
        heapStringAppendFormat(json, ", \"%s\": null", name);
    } else {
        heapStringAppendFormat(json, ", \"%s\": \"%s\"", name, text);
    }
}

// Every status answer is 200: a page reads the printer's state from the JSON.
static Response* statusAnswer(const char* cors) {
    PrinterStatus status = escposAskStatus(printerDevicePath);
    PrinterCondition condition = escposConditionOf(&status);
    Response* response = responseAlloc(200, "OK", "application/json", 0);
    HeapString headers;
    heapStringInit(&headers);
    heapStringAppendString(&headers, cors);
    heapStringAppendString(&headers, "Cache-Control: no-store\r\n");
    response->extraHeaders = copyHeaderLines(headers.contents);
    heapStringFreeContents(&headers);
    HeapString* json = &response->body;
    heapStringAppendFormat(json, "{\"printer\": \"%s\"", escposStateName(condition.state));
    appendFlag(json, "online", condition.online);
    appendFlag(json, "coverOpen", condition.coverOpen);
    appendTextOrNull(json, "paper", condition.paper);
    appendFlag(json, "drawerPin3High", condition.drawerPin3High);
    appendTextOrNull(json, "error", condition.error);
    heapStringAppendString(json, ", \"status\": [");
    for (int i = 0; i < 4; i++) {
        if (status.replies[i] < 0) {
            heapStringAppendFormat(json, "%snull", i > 0 ? ", " : "");
        } else {
            heapStringAppendFormat(json, "%s%d", i > 0 ? ", " : "", status.replies[i]);
        }
    }
    heapStringAppendString(json, "]}");
    return response;
}

// A refusal of a print request: its code, status text and one-line reason.
struct Refusal {
    int code;
    const char* status;
    const char* reason;
};

// Why the body cannot be printed, or null when it can.
static const Refusal* bodyRefusal(const Request* request) {
    static const Refusal BAD_REQUEST_HEAD = {400, "Bad Request",
                                             "The request line is too long; nothing was printed.\n"};
    static const Refusal HEADERS_TOO_LARGE = {431, "Request Header Fields Too Large",
                                              "The request's header lines are too many or too long; nothing was "
                                              "printed.\n"};
    static const Refusal MALFORMED_HEADER = {400, "Bad Request",
                                             "A header line of the request is malformed; nothing was printed.\n"};
    static const Refusal LENGTH_INVALID = {400, "Bad Request",
                                           "The request's body length is missing or invalid; nothing was printed.\n"};
    static const Refusal LENGTH_AND_CODING = {400, "Bad Request",
                                              "The request has both a body length and a transfer coding; nothing "
                                              "was printed.\n"};
    static const Refusal CODING_UNSUPPORTED = {501, "Not Implemented",
                                               "The request's transfer coding is not supported; nothing was "
                                               "printed.\n"};
    static const Refusal CHUNK_MALFORMED = {400, "Bad Request",
                                            "The request's chunked body is malformed; nothing was printed.\n"};
    static const Refusal TOO_LARGE = {413, "Payload Too Large",
                                      "The request's body is larger than 128 MiB; nothing was printed.\n"};
    static const Refusal OVER_BUDGET = {503, "Service Unavailable",
                                        "Too many print jobs in progress; nothing was printed.\n"};
    switch (request->bodyStatus) {
    case RequestBodyStatusNone:
    case RequestBodyStatusLength:
    case RequestBodyStatusChunked:
        return NULL;
    case RequestBodyStatusHeadCut:
        return request->warnings.tooManyHeaders || request->warnings.headersStringPoolExhausted ? &HEADERS_TOO_LARGE
                                                                                                : &BAD_REQUEST_HEAD;
    case RequestBodyStatusHeadMalformed:
    case RequestBodyStatusRequestLineControl: // answered before any route
        return &MALFORMED_HEADER;
    case RequestBodyStatusLengthInvalid:
        return &LENGTH_INVALID;
    case RequestBodyStatusLengthAndTransferCoding:
        return &LENGTH_AND_CODING;
    case RequestBodyStatusTransferCodingUnsupported:
        return &CODING_UNSUPPORTED;
    case RequestBodyStatusChunkMalformed:
        return &CHUNK_MALFORMED;
    case RequestBodyStatusTooLarge:
        return &TOO_LARGE;
    case RequestBodyStatusOverBudget:
    case RequestBodyStatusNoMemory: // the connection is dropped before it gets here
        return &OVER_BUDGET;
    }
    return &MALFORMED_HEADER;
}

// Whether the header's value, ignoring ASCII case, is one of the tokens.
static bool headerIsOneOf(const Request* request, const char* name, const char* const* tokens) {
    const Header* header = headerInRequest(name, request);
    if (NULL == header) {
        return false;
    }
    for (; NULL != *tokens; tokens++) {
        if (sameIgnoringASCIICase(header->value.contents, header->value.length, *tokens, strlen(*tokens))) {
            return true;
        }
    }
    return false;
}

// A browser sends these for forms, links and frames, which any page can
// aim at this port without the cashier's consent; scripts use fetch, which
// the browser guards and marks with mode "cors".
static bool isBrowserNavigation(const Request* request) {
    static const char* const NAVIGATE[] = {"navigate", NULL};
    static const char* const DOCUMENT_DESTINATIONS[] = {"document", "iframe", "frame", "embed", "object", NULL};
    return headerIsOneOf(request, "Sec-Fetch-Mode", NAVIGATE) ||
           headerIsOneOf(request, "Sec-Fetch-Dest", DOCUMENT_DESTINATIONS);
}

// A spooler's IPP queue aimed at this port sends IPP requests, whose bytes
// would print as garbage.
static bool isIPPRequest(const Request* request) {
    static const char IPP[] = "application/ipp";
    const Header* type = headerInRequest("Content-Type", request);
    if (NULL == type || type->value.length < sizeof(IPP) - 1 ||
        !sameIgnoringASCIICase(type->value.contents, sizeof(IPP) - 1, IPP, sizeof(IPP) - 1)) {
        return false;
    }
    char after = type->value.length == sizeof(IPP) - 1 ? ';' : type->value.contents[sizeof(IPP) - 1];
    return after == ';' || after == ' ' || after == '\t';
}

// The answer of a route; CORS holds the lines that let the page read it.
static Response* routeRequest(const Request* request, Connection* connection, const char* CORS) {
    const char* path = request->path;
    const char* method = request->method;
    // Jobs of one address take their turn with those of the others.
    escposSetPeerOfThisThread(connection->remoteHost);
    if (request->bodyStatus == RequestBodyStatusRequestLineControl) {
        return answer(400, "Bad Request", pathIsRoute(path, "/escpos") ? CORS : NULL,
                      "The request line holds a control byte; nothing was printed.\n");
    }
    if (pathIsRoute(path, "/escpos")) {
        if (0 == strcmp(method, "OPTIONS")) {
            return answer(200, "OK", CORS, NULL);
        }
        if (0 == strcmp(method, "POST")) {
            if (isBrowserNavigation(request)) {
                return answer(403, "Forbidden", CORS, "A page navigation may not print; nothing was printed.\n");
            }
            if (isIPPRequest(request)) {
                return answer(415, "Unsupported Media Type", CORS,
                              "This is not a print server for IPP; send the ESC/POS bytes themselves (a raw socket:// "
                              "queue).\n");
            }
            const Refusal* refusal = bodyRefusal(request);
            if (NULL != refusal) {
                return answer(refusal->code, refusal->status, CORS, refusal->reason);
            }
            if (NULL == printerDevicePath) {
                return answer(503, "Service Unavailable", CORS,
                              "No printer device is configured; nothing was printed.\n");
            }
            const char* failure = printBody(&request->body, connection);
            if (NULL != failure) {
                return answer(503, "Service Unavailable", CORS, failure);
            }
            return answer(200, "OK", CORS, NULL);
        }
    }
    if (pathIsRoute(path, "/status")) {
        if (0 == strcmp(method, "OPTIONS")) {
            return answer(200, "OK", CORS, NULL);
        }
        if (0 == strcmp(method, "GET")) {
            return statusAnswer(CORS);
        }
    }
    if (pathStartsWith(path, "/pagercall?code=")) {
        if (0 == strcmp(method, "OPTIONS")) {
            return answer(200, "OK", CORS, NULL);
        }
        if (0 == strcmp(method, "GET")) {
            return answer(503, "Service Unavailable", NULL, NULL);
        }
    }
    return answer(404, "Not Found", NULL, NULL);
}

Response* createResponseForRequest(const Request* request, Connection* connection) {
    if (!requestHostIsThisMachine(request)) {
        return answer(403, "Forbidden", NULL,
                      "Requests must name this machine by its address or as localhost; nothing was printed.\n");
    }
    if (!requestOriginIsAllowed(request)) {
        return answer(403, "Forbidden", "Vary: Origin\r\n",
                      "This page's origin is not allowed to print here; nothing was printed.\n");
    }
    HeapString cors;
    heapStringInit(&cors);
    appendCorsLines(&cors, request);
    Response* response = routeRequest(request, connection, cors.contents);
    heapStringFreeContents(&cors);
    return response;
}

static bool sendReplyToClient(void* connection, const char* data, size_t length) {
    return connectionSendToRawClient((Connection*)connection, data, length);
}

bool onEscposRequest(unsigned int state, const char* data, ssize_t len) {
    if (NULL == printerDevicePath) {
        return true; // read to its end and dropped, as there is no printer
    }
    if (state == 1) {
        const Connection* stream = connectionOfRawStream();
        escposSetPeerOfThisThread(NULL == stream ? NULL : stream->remoteHost);
    }
    ssize_t written = escpos_print(printerDevicePath, state, data, len);
    if (state == 1 && written > 0) {
        // Like a network printer, the printer's replies go back to the stream's client.
        escposForwardReplies(sendReplyToClient, connectionOfRawStream());
    }
    return len <= 0 || written == len;
}

bool escposJobIsWaitingForPrinter(void) {
    return escposJobIsWaiting();
}

void printServiceBeginStop(Server* server) {
    escposBeginStop(SERVER_STOP_GRACE_MS); // first, so that no waiting job gets the printer meanwhile
    serverBeginStop(server, SERVER_STOP_GRACE_MS);
}
