// heapstring.cpp: growable heap strings, header pool strings, the
// statistics record, the module's allocation helpers and the comparison of
// byte runs in any ASCII letter case.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "internal.h"

bool OptionIncludeStatusPageAndCounters = true;

Counters counters;

// Prints the line and ends the process unless block was had.
static void* blockOrDie(void* block, size_t size, const char* what) {
    if (NULL == block) {
        printf("Out of memory: could not allocate %zu bytes for %s\n", size, what);
        fflush(stdout);
        abort();
    }
    return block;
}

void* webserverCallocOrDie(size_t count, size_t size, const char* what) {
    return blockOrDie(calloc(count, size), count * size, what);
}

void* webserverMallocOrDie(size_t size, const char* what) {
    return blockOrDie(malloc(size), size, what);
}

// realloc that never returns null: on failure it prints one line naming `what` and aborts.
static void* webserverReallocOrDie(void* block, size_t size, const char* what) {
    void* grown = realloc(block, size);
    if (NULL == grown) {
        printf("Out of memory: could not allocate %zu bytes for %s\n", size, what);
        fflush(stdout);
        abort();
    }
    return grown;
}

char* webserverStrdupOrDie(const char* text, const char* what) {
    size_t size = strlen(text) + 1;
    char* copy = (char*)webserverCallocOrDie(1, size, what);
    memcpy(copy, text, size);
    return copy;
}

void countersInitLockIfNeeded(void) {
    if (!counters.lockInitialized) {
        pthread_mutex_init(&counters.lock, NULL);
        counters.lockInitialized = true;
    }
}

void heapStringInit(HeapString* string) {
    string->contents = NULL;
    string->length = 0;
    string->capacity = 0;
}

// The smallest power of two that is at least 256 and at least `required`;
// saturates at the largest power of two of size_t.
static size_t heapStringNextAllocationSize(size_t required) {
    const size_t largestPowerOfTwo = (SIZE_MAX >> 1) + 1;
    size_t capacity = 256;
    while (capacity < required) {
        if (capacity == largestPowerOfTwo) {
            return capacity; // the caller's request cannot be met; growth will fail loudly
        }
        capacity *= 2;
    }
    return capacity;
}

// Grows the block to hold at least minimumCapacity bytes, zero-filling the new part.
static void heapStringReallocIfNeeded(HeapString* string, size_t minimumCapacity) {
    if (string->capacity >= minimumCapacity) {
        return;
    }
    size_t newCapacity = heapStringNextAllocationSize(minimumCapacity);
    WEBSERVER_ASSERT(newCapacity > 0 &&
                     "We are about to allocate a string with 0 capacity. We should have checked this condition above");
    if (newCapacity < minimumCapacity) {
        printf("Out of memory: a string of %zu bytes cannot be allocated\n", minimumCapacity);
        fflush(stdout);
        abort();
    }
    bool hadBlock = NULL != string->contents;
    string->contents = (char*)webserverReallocOrDie(string->contents, newCapacity, "a heap string");
    string->capacity = newCapacity;
    memset(string->contents + string->length, 0, newCapacity - string->length);
    if (OptionIncludeStatusPageAndCounters) {
        pthread_mutex_lock(&counters.lock);
        if (hadBlock) {
            counters.heapStringReallocations++;
        } else {
            counters.heapStringAllocations++;
        }
        counters.heapStringTotalBytesReallocated += (int64_t)newCapacity;
        pthread_mutex_unlock(&counters.lock);
    }
}

void heapStringFreeContents(HeapString* string) {
    if (NULL != string->contents) {
        WEBSERVER_ASSERT(string->capacity > 0 && "A heap string with contents must have a capacity > 0");
        free(string->contents);
        string->contents = NULL;
        string->capacity = 0;
        string->length = 0;
        if (OptionIncludeStatusPageAndCounters) {
            pthread_mutex_lock(&counters.lock);
            counters.heapStringFrees++;
            pthread_mutex_unlock(&counters.lock);
        }
    } else {
        WEBSERVER_ASSERT_TEXT(string->capacity == 0, "Why did a string with a NULL contents have a capacity > 0? This "
                                                     "is not correct and may indicate corruption");
    }
}

void heapStringSetToCString(HeapString* heapString, const char* cString) {
    size_t length = strlen(cString);
    heapStringReallocIfNeeded(heapString, length + 1);
    memcpy(heapString->contents, cString, length);
    heapString->length = length;
    heapString->contents[length] = '\0';
}

void heapStringAppendChar(HeapString* string, char c) {
    heapStringReallocIfNeeded(string, string->length + 2);
    string->contents[string->length] = c;
    string->length++;
    string->contents[string->length] = '\0';
}

void heapStringAppendString(HeapString* string, const char* stringToAppend) {
    size_t appendLength = strlen(stringToAppend);
    if (appendLength == 0) {
        return;
    }
    heapStringReallocIfNeeded(string, string->length + appendLength + 1);
    memcpy(string->contents + string->length, stringToAppend, appendLength);
    string->length += appendLength;
    string->contents[string->length] = '\0';
}

void heapStringAppendHeapString(HeapString* target, const HeapString* source) {
    size_t sourceLength = source->length;
    heapStringReallocIfNeeded(target, target->length + sourceLength + 1);
    if (sourceLength > 0) {
        memmove(target->contents + target->length, source->contents, sourceLength);
    }
    target->length += sourceLength;
    target->contents[target->length] = '\0';
}

void heapStringAppendFormatV(HeapString* string, const char* format, va_list ap) {
    va_list secondPass;
    va_copy(secondPass, ap);
    int measured = vsnprintf(NULL, 0, format, ap);
    if (measured < 0) {
        va_end(secondPass);
        return;
    }
    size_t appendLength = (size_t)measured;
    heapStringReallocIfNeeded(string, string->length + appendLength + 1);
    WEBSERVER_ASSERT(string->capacity >= string->length + appendLength + 1 &&
                     "The heap string must have room for the formatted text and its terminator");
    int written = vsnprintf(string->contents + string->length, string->capacity - string->length, format, secondPass);
    va_end(secondPass);
    WEBSERVER_ASSERT(
        written == measured &&
        "We called vsnprintf twice with the same format and value arguments and got different string lengths");
    (void)written;
    string->length += appendLength;
    string->contents[string->length] = '\0';
}

void heapStringAppendFormat(HeapString* string, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    heapStringAppendFormatV(string, format, ap);
    va_end(ap);
}

bool heapStringIsSaneCString(const HeapString* heapString) {
    if (NULL == heapString->contents) {
        if (heapString->capacity != 0) {
            printf("The heap string %p has a capacity of %llubut it's contents are NULL\n", (const void*)heapString,
                   (unsigned long long)heapString->capacity);
            return false;
        }
        if (heapString->length != 0) {
            printf("The heap string %p has a length of %llu but capacity is 0 and contents are NULL\n",
                   (const void*)heapString, (unsigned long long)heapString->length);
            return false;
        }
        return true;
    }
    if (heapString->length >= heapString->capacity) {
        printf("Heap string %p has probably overwritten invalid memory because the capacity (%llu) is <= length "
               "(%llu), which is a big nono. The capacity must always be 1 more than the length since the "
               "contents is null-terminated for convenience.\n",
               (const void*)heapString, (unsigned long long)heapString->capacity,
               (unsigned long long)heapString->length);
        return false;
    }
    // Bounded by the block: a record whose terminator was overwritten must be
    // reported, not read past.
    size_t cLength = strnlen(heapString->contents, heapString->capacity);
    if (cLength != heapString->length) {
        printf("The %p strlen(heap string contents) (%llu) is not equal to heapString length (%llu), which is not "
               "correct for a C string. This can be correct if we're sending something like a PNG image which can "
               "contain '\\0' characters",
               (const void*)heapString, (unsigned long long)cLength, (unsigned long long)heapString->length);
        return false;
    }
    return true;
}

void poolStringStartNewString(PoolString* poolString, Request* request) {
    poolString->length = 0;
    if (request->headersStringPoolOffset == 0) {
        poolString->contents = request->headersStringPool;
    } else if (request->headersStringPoolOffset >= REQUEST_HEADERS_POOL_LIMIT) {
        poolString->contents = NULL;
        request->warnings.headersStringPoolExhausted = true;
    } else {
        request->headersStringPoolOffset++;
        poolString->contents = request->headersStringPool + request->headersStringPoolOffset;
    }
}

void poolStringAppendChar(Request* request, PoolString* string, char c) {
    if (request->headersStringPoolOffset >= REQUEST_HEADERS_POOL_LIMIT || NULL == string->contents) {
        request->warnings.headersStringPoolExhausted = true;
        return;
    }
    string->contents[string->length] = c;
    string->length++;
    request->headersStringPoolOffset++;
}

char* strdupIfNotNull(const char* strToDup) {
    if (NULL == strToDup) {
        return NULL;
    }
    return webserverStrdupOrDie(strToDup, "a response string");
}

bool sameIgnoringASCIICase(const char* a, size_t aLength, const char* b, size_t bLength) {
    if (aLength != bLength) {
        return false;
    }
    for (size_t i = 0; i < aLength; i++) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}
