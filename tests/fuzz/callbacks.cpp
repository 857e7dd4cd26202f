// The application callbacks the module links against; the fuzzers never
// complete a connection, so nothing calls them.
#include "internal.h"

Response* createResponseForRequest(const Request*, Connection*) {
    return responseAlloc404NotFoundHTML(NULL);
}

bool onEscposRequest(unsigned int, const char*, ssize_t) {
    return true;
}
bool escposJobIsWaitingForPrinter(void) {
    return false;
}

bool escposStreamIsBetweenReceipts(void) {
    return false;
}
