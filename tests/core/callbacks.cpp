// The application callbacks the module links against. These tests drive the
// parser and constructors directly, so no request ever reaches them.
#include "internal.h"

Response* createResponseForRequest(const Request* request, Connection*) {
    return responseAlloc404NotFoundHTML(request->path);
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

// Allocation-failure tests need calloc and realloc to return null under
// AddressSanitizer too, instead of its own report.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
