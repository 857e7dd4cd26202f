// response.cpp: response records, their constructors and error pages, and
// the exact bytes of the response head.
#include <stdlib.h>
#include <string.h>

#include "internal.h"

static const char* const HTML_TYPE = "text/html; charset=UTF-8";
static const char* const JSON_TYPE = "application/json";

char* strdupIfNotNull(const char* strToDup) {
    if (NULL == strToDup) {
        return NULL;
    }
    return webserverStrdupOrDie(strToDup, "a response string");
}

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
