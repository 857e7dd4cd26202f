// The application callbacks the module links against; the fuzzers never
// complete a connection, so nothing calls them.
#include "internal.h"

Response* createResponseForRequest(const Request*, Connection*) {
    return responseAlloc404NotFoundHTML(NULL);
}

void onEscposRequest(unsigned int, const char*, ssize_t) {}
