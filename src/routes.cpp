// routes.cpp: the print service's answers to HTTP requests (printing and the
// printer's status) and the bridge that carries raw ESC/POS streams to the
// printer and its replies back.
#include <stdio.h>
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

static Response* answer(int code, const char* status, const char* corsOrNull, const char* text) {
    Response* response = responseAlloc(code, status, "text/plain", 0);
    if (NULL != corsOrNull) {
        response->extraHeaders = strdup(corsOrNull);
    }
    if (NULL != text) {
        heapStringSetToCString(&response->body, text);
    }
    return response;
}

// Prints the body as one job. Returns the text of a 503 answer when the
// printer did not take the whole job, null when it did.
static const char* printBody(const HeapString* body) {
    ssize_t length = (ssize_t)body->length;
    PrinterRefusal refusal = PRINTER_TAKES_JOB;
    ssize_t num = escpos_print_checked(printerDevicePath, body->contents, length, &refusal);
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
    response->extraHeaders = strdup(headers.contents);
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

Response* createResponseForRequest(const Request* request, Connection* connection) {
    (void)connection;
    static const char CORS[] = "Access-Control-Allow-Origin: *\r\n"
                               "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
                               "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, PATCH, OPTIONS\r\n";
    const char* path = request->path;
    const char* method = request->method;
    if (pathIsRoute(path, "/escpos")) {
        if (0 == strcmp(method, "OPTIONS")) {
            return answer(200, "OK", CORS, NULL);
        }
        if (0 == strcmp(method, "POST")) {
            if (NULL == printerDevicePath) {
                return answer(503, "Service Unavailable", NULL, NULL);
            }
            const char* failure = printBody(&request->body);
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

static bool sendReplyToClient(void* connection, const char* data, size_t length) {
    return connectionSendToRawClient((Connection*)connection, data, length);
}

void onEscposRequest(unsigned int state, const char* data, ssize_t len) {
    if (NULL == printerDevicePath) {
        return;
    }
    ssize_t result = escpos_print(printerDevicePath, state, data, len);
    if (state == 1 && result > 0) {
        // Like a network printer, the printer's replies go back to the stream's client.
        escposForwardReplies(sendReplyToClient, connectionOfRawStream());
    }
}
