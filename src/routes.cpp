// routes.cpp: the print service's answers to HTTP requests (printing and the
// printer's status) and the bridge that carries raw ESC/POS streams to the
// printer and its replies back.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "certificates.h"
#include "escpos.h"
#include "joblog.h"
#include "printservice.h"
#include "receipt.h"
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

// A web job about to print, for the moment the printer is its.
struct PrintingJob {
    Connection* connection;
    JobRecord* job;
};

// A job whose client reset its connection while it waited is not printed:
// nobody would see the answer, and a retry would print it twice. One that
// goes on has its start in the log before its first byte prints.
static bool jobGoesOn(void* context, bool waited) {
    PrintingJob* printing = (PrintingJob*)context;
    if (waited && printing->job->key.empty() && !connectionPeerIsThere(printing->connection)) {
        return false;
    }
    jobPrints(printing->job);
    return true;
}

// Prints the body as one job. Returns the text of a 503 answer when the
// printer did not take the whole job, null when it did; the job gets what
// the printer took and what its check saw, "failed" when the device could
// not be opened and "cut" when a write failed part way. A keyed job goes on
// without its client: a retry with the key learns how it went.
static const char* printBody(const HeapString* body, Connection* connection, JobRecord* job) {
    ssize_t length = (ssize_t)body->length;
    PrinterRefusal refusal = PRINTER_TAKES_JOB;
    PrintingJob printing = {connection, job};
    const char* seen = NULL;
    bool endedWhole = true;
    ssize_t num =
        escposPrintWhole(printerDevicePath, body->contents, length, jobGoesOn, &printing, &refusal, &seen, &endedWhole);
    job->printer = NULL == seen ? "" : seen;
    job->bytesPrinted = num > 0 ? num : 0;
    if (num == -1) {
        job->result = "cut";
    } else if (num == 0 && length > 0 && refusal == PRINTER_TAKES_JOB) {
        job->result = "failed";
    }
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
        // A network printer's job is whole only once the printer has acknowledged it.
        return endedWhole ? NULL : "Writing to the printer device failed; the receipt was not printed whole.\n";
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
    heapStringAppendFormat(json, "], \"jobLog\": %s}", jobLogProblemAsJSON().c_str());
    return response;
}

// The certificate authority's certificate alone, never its key, named as a
// file so that a tablet's browser offers to install it.
static Response* authorityAnswer(const char* cors) {
    HeapString der;
    heapStringInit(&der);
    if (!certificateAuthorityCopyDER(&der)) {
        return answer(404, "Not Found", NULL, NULL);
    }
    Response* response = responseAlloc(200, "OK", "application/x-x509-ca-cert", 0);
    heapStringAppendHeapString(&response->body, &der);
    heapStringFreeContents(&der);
    HeapString headers;
    heapStringInit(&headers);
    heapStringAppendString(&headers, cors);
    heapStringAppendString(&headers, "Content-Disposition: attachment; filename=\"quorvel2-ca.crt\"\r\n");
    response->extraHeaders = copyHeaderLines(headers.contents);
    heapStringFreeContents(&headers);
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
    static const std::string TOO_LARGE_REASON = "The request's body is larger than " +
                                                std::to_string(REQUEST_MAX_BODY_LENGTH / (1024 * 1024)) +
                                                " MiB; nothing was printed.\n";
    static const Refusal TOO_LARGE = {413, "Payload Too Large", TOO_LARGE_REASON.c_str()};
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

// The answer to a request that may not print the job in its body, with the
// CORS lines; null when it may. The one gate of every route that prints a
// body, after the host and origin checks that come before any route: a
// method other than POST (not found, as on any path), a navigation, IPP, or
// a body that was refused or did not arrive whole.
static Response* printJobRefusal(const Request* request, const char* CORS) {
    if (0 != strcmp(request->method, "POST")) {
        return answer(404, "Not Found", NULL, NULL);
    }
    if (isBrowserNavigation(request)) {
        return answer(403, "Forbidden", CORS, "A page navigation may not print; nothing was printed.\n");
    }
    if (isIPPRequest(request)) {
        return answer(415, "Unsupported Media Type", CORS,
                      "This is not a print server for IPP; send the ESC/POS bytes themselves (a raw socket:// "
                      "queue).\n");
    }
    const Refusal* refusal = bodyRefusal(request);
    return NULL == refusal ? NULL : answer(refusal->code, refusal->status, CORS, refusal->reason);
}

// A print request's job, and whether its answer is the one its key's first job got.
struct WebJob {
    JobRecord record;
    bool replayed = false;
};

static const char* statusTextOf(int code) {
    switch (code) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 409:
        return "Conflict";
    case 422:
        return "Unprocessable Content";
    default:
        return "Service Unavailable";
    }
}

// Prints a request that passed every check on its head and body, once per
// Idempotency-Key.
static Response* printJob(const Request* request, Connection* connection, const char* CORS, WebJob* web) {
    JobRecord* job = &web->record;
    const Header* key = headerInRequest("Idempotency-Key", request);
    if (NULL != key) {
        size_t length = key->value.length;
        while (length > 0 && (key->value.contents[length - 1] == ' ' || key->value.contents[length - 1] == '\t')) {
            length--;
        }
        if (!idempotencyKeyIsValid(key->value.contents, length)) {
            return answer(400, "Bad Request", CORS,
                          "The Idempotency-Key must be 1 to 255 visible ASCII characters; nothing was printed.\n");
        }
        job->key.assign(key->value.contents, length);
        job->digest = sha256Hex(request->body.contents, request->body.length);
    }
    switch (jobBegin(job)) {
    case JOB_STARTED:
        break;
    case JOB_REPLAYED:
        web->replayed = true;
        return answer(job->status, statusTextOf(job->status), CORS, job->reason.c_str());
    case JOB_KEY_OTHER_BODY:
        return answer(422, "Unprocessable Content", CORS,
                      "This Idempotency-Key came with another body before; nothing was printed.\n");
    case JOB_KEY_INTERRUPTED:
        return answer(409, "Conflict", CORS,
                      "The first attempt with this Idempotency-Key was interrupted and may have printed in part; "
                      "nothing was printed.\n");
    case JOB_LOG_UNAVAILABLE: {
        std::string text = std::string(jobLogProblem()) +
                           " A job with an Idempotency-Key could print twice without it; nothing was printed.\n";
        return answer(503, "Service Unavailable", CORS, text.c_str());
    }
    }
    if (NULL == printerDevicePath) {
        return answer(503, "Service Unavailable", CORS, "No printer device is configured; nothing was printed.\n");
    }
    const char* failure = printBody(&request->body, connection, job);
    if (NULL != failure) {
        return answer(503, "Service Unavailable", CORS, failure);
    }
    return answer(200, "OK", CORS, NULL);
}

// Records how a print request went (a replay was recorded by its first job)
// and gives its answer the job's id, which the page may read.
static Response* withJobRecorded(WebJob* web, Response* response) {
    JobRecord* job = &web->record;
    if (!web->replayed) {
        job->status = response->code;
        job->reason = NULL == response->body.contents ? "" : response->body.contents;
        if (job->result.empty()) {
            job->result = response->code == 200 ? "printed" : "refused";
        }
        jobEnd(job);
    }
    HeapString headers;
    heapStringInit(&headers);
    if (NULL != response->extraHeaders) {
        heapStringAppendString(&headers, response->extraHeaders);
    }
    heapStringAppendFormat(&headers, "Job-Id: %s\r\n%s", job->id.c_str(),
                           web->replayed ? "Idempotent-Replayed: true\r\n" : "");
    free(response->extraHeaders);
    response->extraHeaders = copyHeaderLines(headers.contents);
    heapStringFreeContents(&headers);
    return response;
}

// The answer of a route; CORS holds the lines that let the page read it,
// and a print request's job gets what its record needs.
static Response* routeRequest(const Request* request, Connection* connection, const char* CORS, WebJob* job) {
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
        Response* refusal = printJobRefusal(request, CORS);
        return NULL != refusal ? refusal : printJob(request, connection, CORS, job);
    }
    if (pathIsRoute(path, "/status")) {
        if (0 == strcmp(method, "OPTIONS")) {
            return answer(200, "OK", CORS, NULL);
        }
        if (0 == strcmp(method, "GET")) {
            return statusAnswer(CORS);
        }
    }
    if (pathIsRoute(path, "/ca.crt")) {
        if (0 == strcmp(method, "OPTIONS")) {
            return answer(200, "OK", CORS, NULL);
        }
        if (0 == strcmp(method, "GET")) {
            return authorityAnswer(CORS);
        }
    }
    if (pathIsRoute(path, "/jobs") || pathStartsWith(path, "/jobs/")) {
        if (0 == strcmp(method, "OPTIONS")) {
            return answer(200, "OK", CORS, NULL);
        }
        if (0 == strcmp(method, "GET")) {
            return jobsAnswer(request, CORS);
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
    bool printRequest = pathIsRoute(request->path, "/escpos") && 0 == strcmp(request->method, "POST");
    WebJob job;
    if (printRequest) {
        const Header* origin = headerInRequest("Origin", request);
        job.record.kind = "web";
        job.record.origin = NULL == origin ? "" : std::string(origin->value.contents, origin->value.length);
        job.record.peer = connection->remoteHost;
        job.record.bytesReceived = (int64_t)request->body.length;
    }
    Response* response = routeRequest(request, connection, cors.contents, &job);
    heapStringFreeContents(&cors);
    return printRequest ? withJobRecorded(&job, response) : response;
}

static ssize_t sendReplyToClient(void* connection, const char* data, size_t length) {
    return connectionSendToRawClient((Connection*)connection, data, length);
}

// A raw stream's job: one per receipt, as a stream that pauses between
// receipts ends its job and its next bytes begin another. Its start and its
// end are the two calls a stream's channel makes.
// It is logged from its first byte that prints or begins a command other
// than a status request (a command half sent holds the printer as a receipt
// does): a stream that only asks the printer's state (a till polling it) is
// no print job.
static thread_local JobRecord rawJob;
static thread_local bool rawJobLogged;

static void rawJobStart(const char* peer) {
    rawJob = JobRecord();
    rawJob.kind = "raw";
    rawJob.peer = peer;
    rawJobLogged = false;
}

static void rawJobLogOnceUnderWay(const ReceiptScan* scan) {
    if (!rawJobLogged && (scan->printedAny || !receiptScanAtBoundary(scan))) {
        rawJobLogged = true;
        jobBegin(&rawJob);
        jobPrints(&rawJob);
    }
}

static void rawJobEnd(const char* result, const char* reason) {
    if (rawJobLogged && rawJob.doneMs == 0) {
        rawJob.result = result;
        rawJob.reason = reason;
        jobEnd(&rawJob);
    }
}

// Where the raw stream served on this thread stands in its receipts. A job
// ends only between receipts, where the scan is as at a stream's start, so
// each job begins with a fresh one.
static thread_local ReceiptScan streamReceipts;

bool onEscposRequest(unsigned int state, const char* data, ssize_t len) {
    if (state == 1) {
        receiptScanStart(&streamReceipts);
    }
    if (len > 0) {
        receiptScanFeed(&streamReceipts, data, (size_t)len);
    }
    if (state == 1) {
        const Connection* stream = connectionOfRawStream();
        escposSetPeerOfThisThread(NULL == stream ? NULL : stream->remoteHost);
        rawJobStart(NULL == stream ? "" : stream->remoteHost);
    }
    rawJob.bytesReceived += len > 0 ? len : 0;
    rawJobLogOnceUnderWay(&streamReceipts);
    if (NULL == printerDevicePath) {
        if (len <= 0) {
            rawJobEnd("refused", "No printer device is configured; nothing was printed.\n");
        }
        return true; // read to its end and dropped, as there is no printer
    }
    ssize_t written = escpos_print(printerDevicePath, state, data, len);
    if (state == 1 && written > 0) {
        // Like a network printer, the printer's replies go back to the stream's client.
        escposForwardReplies(sendReplyToClient, connectionOfRawStream());
    }
    if (len > 0 && written == len) {
        rawJob.bytesPrinted += len;
    } else if (len > 0 && written == ESCPOS_PRINTER_BUSY) {
        rawJobEnd("refused", "The printer is busy with another job; nothing was printed.\n");
    } else if (len > 0 && written == 0) {
        rawJobEnd("failed", "The printer device could not be opened; nothing was printed.\n");
    } else if (len > 0) {
        rawJobEnd("cut", "Writing to the printer device failed; the receipt was not printed whole.\n");
    } else {
        rawJobEnd(len == 0 ? "printed" : "cut",
                  len == 0 ? "" : "The stream was cut off: its client went idle or too slow, or a receive failed.\n");
    }
    return len <= 0 || written == len;
}

bool escposJobIsWaitingForPrinter(void) {
    return escposJobIsWaiting();
}

bool escposStreamIsBetweenReceipts(void) {
    return receiptScanAtBoundary(&streamReceipts);
}

void printServiceBeginStop(Server* server) {
    escposBeginStop(SERVER_STOP_GRACE_MS); // first, so that no waiting job gets the printer meanwhile
    serverBeginStop(server, SERVER_STOP_GRACE_MS);
}
