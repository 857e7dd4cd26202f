// main.cpp: a file server built on the HTTP server module alone. It serves
// the folder named on the command line at every URL, on 127.0.0.1 and the
// port given (8080 by default), until it is ended.
//   fileserver FOLDER [PORT]
#include <stdio.h>
#include <stdlib.h>

#include "webserver.h"

static const char* documentRoot = ".";

Response* createResponseForRequest(const Request* request, Connection* connection) {
    (void)connection;
    return responseAllocServeFileFromRequestPath("/", request->path, request->pathDecoded, documentRoot);
}

// A file server has no use for raw streams; their bytes are dropped.
bool onEscposRequest(unsigned int state, const char* data, ssize_t len) {
    (void)state;
    (void)data;
    (void)len;
    return true;
}

// Nothing here waits for a printer, so raw streams keep no pace.
bool escposJobIsWaitingForPrinter(void) {
    return false;
}

bool escposStreamIsBetweenReceipts(void) {
    return false;
}

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "Usage: %s FOLDER [PORT]\n", argv[0]);
        return 1;
    }
    documentRoot = argv[1];
    long port = argc == 3 ? strtol(argv[2], NULL, 10) : 8080;
    if (port < 1 || port > 65535) {
        fprintf(stderr, "The port must lie in 1 .. 65535\n");
        return 1;
    }
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)port);
    return acceptConnectionsUntilStopped(NULL, (const struct sockaddr*)&address, sizeof(address));
}
