// files.cpp: static file serving (being written).
#include "internal.h"

int sendResponseFile(Connection* connection, const Response* response, ssize_t* bytesSent) {
    (void)response;
    Response* unavailable = responseAlloc500InternalErrorHTML(NULL);
    int result = sendResponseBody(connection, unavailable, bytesSent);
    responseFree(unavailable);
    return result;
}
