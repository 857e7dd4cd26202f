// response.cpp: response records, their constructors and error pages, the
// exact bytes of the response head, and sending a head and an in-memory body
// through the connection's transport.
#include <stdlib.h>
#include <string.h>

#include "internal.h"

static const char* const HTML_TYPE = "text/html; charset=UTF-8";
static const char* const JSON_TYPE = "application/json";

Response* responseAlloc(int code, const char* status, const char* contentType, size_t bodyCapacity) {
    Response* response = (Response*)webserverCallocOrDie(1, sizeof(Response), "a response");
    response->code = code;
    heapStringInit(&response->body);
    response->body.capacity = bodyCapacity;
    response->body.length = 0;
    if (bodyCapacity != 0) {
        response->body.contents = (char*)webserverCallocOrDie(bodyCapacity, 1, "a response body");
        if (OptionIncludeStatusPageAndCounters) {
            pthread_mutex_lock(&counters.lock);
            counters.heapStringAllocations++;
            pthread_mutex_unlock(&counters.lock);
        }
    }
    response->contentType = strdupIfNotNull(contentType);
    response->status = strdupIfNotNull(status);
    return response;
}

Response* responseAllocHTMLWithStatus(int code, const char* status, const char* html) {
    Response* response = responseAlloc(code, status, HTML_TYPE, 0);
    heapStringSetToCString(&response->body, html);
    return response;
}

Response* responseAllocHTML(const char* html) {
    return responseAllocHTMLWithStatus(200, "OK", html);
}

static Response* responseAllocWithFormatV(int code, const char* status, const char* contentType, const char* format,
                                          va_list ap) {
    Response* response = responseAlloc(code, status, contentType, 0);
    heapStringAppendFormatV(&response->body, format, ap);
    return response;
}

Response* responseAllocHTMLWithFormat(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Response* response = responseAllocWithFormatV(200, "OK", HTML_TYPE, format, ap);
    va_end(ap);
    return response;
}

Response* responseAllocJSONWithStatus(int code, const char* status, const char* json) {
    Response* response = responseAlloc(code, status, JSON_TYPE, 0);
    heapStringSetToCString(&response->body, json);
    return response;
}

Response* responseAllocJSON(const char* json) {
    return responseAllocJSONWithStatus(200, "OK", json);
}

Response* responseAllocJSONWithFormat(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Response* response = responseAllocWithFormatV(200, "OK", JSON_TYPE, format, ap);
    va_end(ap);
    return response;
}

Response* responseAllocWithFormat(int code, const char* status, const char* contentType, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Response* response = responseAllocWithFormatV(code, status, contentType, format, ap);
    va_end(ap);
    return response;
}

Response* responseAlloc400BadRequestHTML(const char* errorMessage) {
    if (NULL == errorMessage) {
        errorMessage = "An unspecified error occurred";
    }
    return responseAllocWithFormat(400, "Bad Request", HTML_TYPE,
                                   "<html><head><title>400 - Bad Request</title></head><body>The request made was "
                                   "invalid. %s",
                                   errorMessage);
}

Response* responseAlloc404NotFoundHTML(const char* resourcePathOrNull) {
    if (NULL == resourcePathOrNull) {
        return responseAllocHTMLWithStatus(
            404, "Not Found",
            "<html><head><title>404 Not Found</title></head><body>The resource you specified could not be "
            "found</body></html>");
    }
    // The path comes from the request: shown as text, never as markup.
    char* escapedPath = strdupEscapeForHTML(resourcePathOrNull);
    Response* response = responseAllocWithFormat(404, "Not Found", HTML_TYPE,
                                                 "<html><head><title>404 Not Found</title></head><body>The resource "
                                                 "you specified ('%s') could not be found</body></html>",
                                                 escapedPath);
    free(escapedPath);
    return response;
}

Response* responseAlloc500InternalErrorHTML(const char* extraInformationOrNull) {
    if (NULL == extraInformationOrNull) {
        return responseAllocHTMLWithStatus(
            500, "Internal Error",
            "<html><head><title>500 Internal Error</title></head><body>There was an internal error while completing "
            "your request</body></html>");
    }
    return responseAllocWithFormat(500, "Internal Error", HTML_TYPE,
                                   "<html><head><title>500 Internal Error</title></head><body>There was an internal "
                                   "error while completing your request. %s</body></html>",
                                   extraInformationOrNull);
}

Response* responseAllocWithFile(const char* filename, const char* MIMETypeOrNULL) {
    Response* response = responseAlloc(200, "OK", MIMETypeOrNULL, 0);
    response->filenameToSend = webserverStrdupOrDie(filename, "a file name");
    return response;
}

void responseFree(Response* response) {
    free(response->status);
    free(response->filenameToSend);
    free(response->contentType);
    free(response->extraHeaders);
    heapStringFreeContents(&response->body);
    free(response);
}

// Every head says that the server closes after this answer: a client that
// keeps connections would otherwise send its next request into a closed socket.
int snprintfResponseHeader(char* destination, size_t destinationCapacity, int code, const char* status,
                           const char* contentType, const char* extraHeaders, size_t contentLength) {
    return snprintf(destination, destinationCapacity,
                    "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %llu\r\nServer: "
                    "Ostrelin/1.1.3\r\nConnection: close\r\n%s\r\n",
                    code, NULL == status ? "" : status, NULL == contentType ? "application/octet-stream" : contentType,
                    (unsigned long long)contentLength, NULL == extraHeaders ? "" : extraHeaders);
}

// ---- Sending a response ----------------------------------------------------------

HeadOutcome sendResponseHead(Connection* connection, const Response* response, const char* contentType,
                             uint64_t contentLength, ssize_t* bytesSent) {
    int headerLength =
        snprintfResponseHeader(connection->responseHeader, sizeof(connection->responseHeader), response->code,
                               response->status, contentType, response->extraHeaders, contentLength);
    if (headerLength < 0 || (size_t)headerLength >= sizeof(connection->responseHeader)) {
        // Never send from beyond the buffer; nothing is on the wire yet, so
        // the client can still be told that the response could not be made.
        printf("The response head for %s:%s would have %d bytes, more than %zu; answering 500 instead\n",
               connection->remoteHost, connection->remotePort, headerLength, sizeof(connection->responseHeader) - 1);
        Response* tooLong = responseAlloc500InternalErrorHTML("The response head was too long");
        int result = sendResponseBody(connection, tooLong, bytesSent);
        responseFree(tooLong);
        return 0 == result ? HeadReplacedBy500 : HeadSendFailed;
    }
    size_t sent = 0;
    ssize_t failed = 0;
    if (!connectionSendAll(connection, connection->responseHeader, (size_t)headerLength, &sent, &failed)) {
        int error = socketLastError();
        if (NULL != response->filenameToSend) {
            char path[LOG_ESCAPED_PATH_CAPACITY];
            printf("Unable to satisfy request for '%s' because we could not send the HTTP header '%s' %s = %d\n",
                   logEscapeInto(connection->request.path, connection->request.pathLength, path, sizeof path),
                   response->filenameToSend, strerror(error), error);
        } else {
            printf("Failed to respond to %s:%s because we could not send the HTTP response *header*. send returned "
                   "%ld with %s = %d\n",
                   connection->remoteHost, connection->remotePort, (long)failed, strerror(error), error);
        }
        return HeadSendFailed;
    }
    if (OptionPrintResponse) {
        fwrite(connection->responseHeader, 1, (size_t)headerLength, stdout);
    }
    *bytesSent += (ssize_t)sent;
    return HeadSent;
}

int sendResponseBody(Connection* connection, const Response* response, ssize_t* bytesSent) {
    switch (sendResponseHead(connection, response, response->contentType, response->body.length, bytesSent)) {
    case HeadSent:
        break;
    case HeadReplacedBy500:
        return 0;
    case HeadSendFailed:
        return -1;
    }
    if (response->body.length == 0) {
        return 0;
    }
    size_t sent = 0;
    ssize_t failed = 0;
    if (!connectionSendAll(connection, response->body.contents, response->body.length, &sent, &failed)) {
        int error = socketLastError();
        printf("Failed to respond to %s:%s because we could not send the HTTP response *body*. send returned %lld "
               "with %s = %d\n",
               connection->remoteHost, connection->remotePort, (long long)failed, strerror(error), error);
        return -1;
    }
    if (OptionPrintResponse) {
        fwrite(response->body.contents, 1, response->body.length, stdout);
    }
    *bytesSent += (ssize_t)sent;
    return 0;
}
