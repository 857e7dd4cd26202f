// embedding.cpp: the two callbacks every program built on the server module
// provides, here for the file-serving tests.
#include "embedding.h"

#include <stdlib.h>
#include <string.h>

#include "webserver.h"

EmbeddingConfig embeddingConfig;

Response* createResponseForRequest(const Request* request, Connection* connection) {
    (void)connection;
    if (0 == strcmp(request->pathDecoded, READ_ERROR_ROUTE)) {
        return responseAllocWithFile(embeddingConfig.readErrorPath.c_str(), "text/plain");
    }
    if (0 == strcmp(request->pathDecoded, LONG_HEAD_ROUTE)) {
        Response* response = responseAllocWithFile(embeddingConfig.longHeadPath.c_str(), NULL);
        std::string lines = "X-Padding: " + std::string(CONNECTION_RESPONSE_HEADER_SIZE, 'p') + "\r\n";
        response->extraHeaders = strdup(lines.c_str());
        return response;
    }
    if (!requestMatchesPathPrefix(request->pathDecoded, FILES_PREFIX, NULL)) {
        return responseAlloc404NotFoundHTML(NULL);
    }
    return responseAllocServeFileFromRequestPath(FILES_PREFIX, request->path, request->pathDecoded,
                                                 embeddingConfig.documentRoot.c_str());
}

bool onEscposRequest(unsigned int state, const char* data, ssize_t len) {
    (void)state;
    (void)data;
    (void)len;
    return true;
}

bool escposJobIsWaitingForPrinter(void) {
    return false;
}

bool escposStreamIsBetweenReceipts(void) {
    return false;
}
