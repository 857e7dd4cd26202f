// routes.cpp: the print service's answers to HTTP requests and the bridge
// that carries raw ESC/POS streams to the printer.
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

// A job whose client reset its connection while it waited is not printed:
// nobody would see the answer, and a retry would print it twice.
static bool clientStillWaits(void* connection) {
    return connectionPeerIsThere((const Connection*)connection);
}

// Prints the body as one job. Returns the text of a 503 answer when the
// printer did not take the whole job, null when it did.
static const char* printBody(const HeapString* body, Connection* connection) {
    ssize_t length = (ssize_t)body->length;
    ssize_t num = escposStartJob(printerDevicePath, body->contents, length, clientStillWaits, connection);
    if (num == ESCPOS_PRINTER_BUSY) {
        return "The printer is busy with another job; nothing was printed.\n";
    }
    if (num == ESCPOS_JOB_NOT_WANTED) {
        return "The client left while the job waited; nothing was printed.\n";
    }
    if (num > 0) {
        escpos_print(NULL, 0, NULL, 0);
        return NULL;
    }
    if (length == 0) {
        return NULL; // nothing to print: the device was opened and closed again
    }
    if (num == 0) {
        return "The printer device could not be opened; nothing was printed.\n";
    }
    return "Writing to the printer device failed; the receipt was not printed whole.\n";
}

Response* createResponseForRequest(const Request* request, Connection* connection) {
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
            const char* failure = printBody(&request->body, connection);
            if (NULL != failure) {
                return answer(503, "Service Unavailable", CORS, failure);
            }
            return answer(200, "OK", CORS, NULL);
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

bool onEscposRequest(unsigned int state, const char* data, ssize_t len) {
    if (NULL == printerDevicePath) {
        return true; // read to its end and dropped, as there is no printer
    }
    ssize_t written = escpos_print(printerDevicePath, state, data, len);
    return len <= 0 || written == len;
}

bool escposJobIsWaitingForPrinter(void) {
    return escposJobIsWaiting();
}
