// request.cpp: the incremental HTTP request parser, the URL decoder, header
// lookup and the report of truncated requests. The parser takes one byte at
// a time and keeps all its state in the Request, so a stream may be split
// anywhere; everything except the body lives in fixed-size storage.
#include <assert.h>
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "internal.h"

static const int32_t CONTENT_LENGTH_MAX = INT32_MAX;
static const int32_t CONTENT_LENGTH_MIN = INT32_MIN;

// Reads a length the way "%ld" reads a 32-bit long: leading white space, an
// optional sign, then digits up to the first non-digit; saturates at the
// bounds. False when there are no digits.
static bool parseContentLength(const char* text, int32_t* value) {
    const char* cursor = text;
    while (isspace((unsigned char)*cursor)) {
        cursor++;
    }
    bool negative = false;
    if (*cursor == '+' || *cursor == '-') {
        negative = *cursor == '-';
        cursor++;
    }
    if (!isdigit((unsigned char)*cursor)) {
        return false;
    }
    int64_t magnitude = 0;
    const int64_t saturation = (int64_t)CONTENT_LENGTH_MAX + 1;
    while (isdigit((unsigned char)*cursor)) {
        if (magnitude < saturation) {
            magnitude = magnitude * 10 + (*cursor - '0');
        }
        cursor++;
    }
    if (negative) {
        *value = magnitude >= saturation ? CONTENT_LENGTH_MIN : (int32_t)-magnitude;
    } else {
        *value = magnitude > CONTENT_LENGTH_MAX ? CONTENT_LENGTH_MAX : (int32_t)magnitude;
    }
    return true;
}

RequestParseState stateHeaderNameIfSpaceLeft(Request* request) {
    if (request->headersCount < REQUEST_MAX_HEADERS) {
        if (request->warnings.headersStringPoolExhausted) {
            return RequestParseStateEatHeaders;
        }
        // A new line starts with a clean slot, so the text of a line that was
        // not counted never runs into the next header.
        Header* openSlot = &request->headers[request->headersCount];
        openSlot->name.contents = NULL;
        openSlot->name.length = 0;
        openSlot->value.contents = NULL;
        openSlot->value.length = 0;
        return RequestParseStateHeaderName;
    }
    request->warnings.tooManyHeaders = true;
    return RequestParseStateEatHeaders;
}

static void appendToPoolString(Request* request, PoolString* string, char c) {
    if (NULL == string->contents) {
        poolStringStartNewString(string, request);
    }
    poolStringAppendChar(request, string, c);
}

static void parseHeaderNameByte(Request* request, char c) {
    assert(request->headersCount < REQUEST_MAX_HEADERS &&
           "Parsing the request header name assumes we have space for more headers");
    if (c == ':') {
        request->state = RequestParseStateHeaderValue;
    } else if (c == '\r') {
        request->state = RequestParseStateCR;
    } else {
        appendToPoolString(request, &request->headers[request->headersCount].name, c);
    }
}

static void finishHead(Request* request) {
    request->state = RequestParseStateDone;
    const Header* contentLength = headerInRequest("Content-Length", request);
    if (NULL == contentLength || NULL == contentLength->value.contents) {
        return;
    }
    int32_t declared = 0;
    if (!parseContentLength(contentLength->value.contents, &declared)) {
        return;
    }
    if ((int64_t)declared > (int64_t)REQUEST_MAX_BODY_LENGTH) {
        declared = (int32_t)REQUEST_MAX_BODY_LENGTH;
    }
    if (declared <= 0) {
        return;
    }
    size_t capacity = (size_t)declared;
    request->body.contents = (char*)webserverCallocOrDie(capacity + 1, 1, "a request body");
    request->body.capacity = capacity;
    request->body.length = 0;
    request->state = RequestParseStateBody;
}

void requestParse(Request* request, const char* requestFragment, size_t requestFragmentLength) {
    for (size_t i = 0; i < requestFragmentLength; i++) {
        char c = requestFragment[i];
        switch (request->state) {
        case RequestParseStateMethod:
            if (c == ' ') {
                request->state = RequestParseStatePath;
            } else if (request->methodLength < REQUEST_METHOD_CAPACITY - 1) {
                request->method[request->methodLength++] = c;
            } else {
                request->warnings.methodTruncated = true;
            }
            break;
        case RequestParseStatePath:
            if (c == ' ') {
                bool success = URLDecode(request->path, request->pathDecoded, REQUEST_PATH_CAPACITY,
                                         &request->pathDecodedLength, URLDecodeTypeWholeURL);
                assert(success &&
                       "Somehow unable to decode the path--this should always work with ->pathDecoded has the same capacity as ->path");
                (void)success;
                request->state = RequestParseStateVersion;
            } else if (request->pathLength < REQUEST_PATH_CAPACITY - 1) {
                request->path[request->pathLength++] = c;
            } else {
                request->warnings.pathTruncated = true;
            }
            break;
        case RequestParseStateVersion:
            if (c == '\r') {
                request->state = RequestParseStateCR;
            } else if (request->versionLength < REQUEST_VERSION_CAPACITY - 1) {
                request->version[request->versionLength++] = c;
            } else {
                request->warnings.versionTruncated = true;
            }
            break;
        case RequestParseStateHeaderName:
            parseHeaderNameByte(request, c);
            break;
        case RequestParseStateHeaderValue: {
            assert(request->headersCount < REQUEST_MAX_HEADERS &&
                   "Parsing the request header value assumes we have space for more headers");
            Header* header = &request->headers[request->headersCount];
            if (c == ' ' && header->value.length == 0) {
                break;
            }
            if (c == '\r') {
                if (header->name.length > 0 && header->value.length > 0) {
                    request->headersCount++;
                }
                request->state = RequestParseStateCR;
            } else {
                appendToPoolString(request, &header->value, c);
            }
            break;
        }
        case RequestParseStateCR:
            if (c == '\n') {
                request->state = RequestParseStateCRLF;
            } else {
                request->state = stateHeaderNameIfSpaceLeft(request);
            }
            break;
        case RequestParseStateCRLF:
            if (c == '\r') {
                request->state = RequestParseStateCRLFCR;
            } else {
                request->state = stateHeaderNameIfSpaceLeft(request);
                if (request->state == RequestParseStateHeaderName) {
                    // The byte starts the line: a colon here means an empty name.
                    parseHeaderNameByte(request, c);
                }
            }
            break;
        case RequestParseStateCRLFCR:
            if (c == '\n') {
                finishHead(request);
            } else {
                request->state = stateHeaderNameIfSpaceLeft(request);
            }
            break;
        case RequestParseStateBody: {
            // Copy the rest of the body from this fragment in one step.
            size_t wanted = request->body.capacity - request->body.length;
            size_t available = requestFragmentLength - i;
            size_t take = wanted < available ? wanted : available;
            memcpy(request->body.contents + request->body.length, requestFragment + i, take);
            request->body.length += take;
            i += take - 1;
            if (request->body.length == request->body.capacity) {
                request->state = RequestParseStateDone;
            }
            break;
        }
        case RequestParseStateEatHeaders:
            if (c == '\r') {
                request->state = RequestParseStateCR;
            }
            break;
        case RequestParseStateDone:
            if (NULL != request->body.contents) {
                request->warnings.bodyTruncated = true;
            }
            return; // nothing after a complete request is kept
        }
    }
}

static unsigned char asciiLower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? (unsigned char)(c - 'A' + 'a') : c;
}

// Compares by the slice's length: a name holding a NUL byte must not match
// the text in front of that byte.
static bool nameEqualsIgnoringASCIICase(const PoolString* name, const char* text) {
    size_t textLength = strlen(text);
    if (name->length != textLength) {
        return false;
    }
    for (size_t i = 0; i < textLength; i++) {
        if (asciiLower((unsigned char)name->contents[i]) != asciiLower((unsigned char)text[i])) {
            return false;
        }
    }
    return true;
}

const Header* headerInRequest(const char* headerName, const Request* request) {
    for (size_t i = 0; i < request->headersCount; i++) {
        assert(NULL != request->headers[i].name.contents && "NULL != request->headers[i].name.contents");
        if (nameEqualsIgnoringASCIICase(&request->headers[i].name, headerName)) {
            return &request->headers[i];
        }
    }
    return NULL;
}

bool URLDecode(const char* encoded, char* decoded, size_t decodedCapacity, size_t* decodedLength,
               URLDecodeType type) {
    size_t out = 0;
    URLDecodeState state = URLDecodeStateNormal;
    bool roomLeft = true;
    char firstDigit = 0;
    for (const char* cursor = encoded; *cursor != '\0'; cursor++) {
        char c = *cursor;
        if (c == '&' && type == URLDecodeTypeParameter) {
            break;
        }
        if (out >= decodedCapacity - 1) {
            roomLeft = false;
            break;
        }
        switch (state) {
        case URLDecodeStateNormal:
            if (c == '%') {
                state = URLDecodeStatePercentFirstDigit;
            } else if (c == '+') {
                decoded[out++] = ' ';
            } else {
                decoded[out++] = c;
            }
            break;
        case URLDecodeStatePercentFirstDigit:
            firstDigit = c;
            state = URLDecodeStatePercentSecondDigit;
            break;
        case URLDecodeStatePercentSecondDigit: {
            char hex[3] = {firstDigit, c, '\0'};
            unsigned int value = 0;
            if (1 == sscanf(hex, "%02x", &value)) {
                decoded[out++] = (char)(value & 0xFF);
            } else {
                printf("Warning: Unable to decode hex string 0x%s from %s", hex, cursor);
            }
            state = URLDecodeStateNormal;
            break;
        }
        }
    }
    decoded[out] = '\0';
    if (NULL != decodedLength) {
        *decodedLength = out;
    }
    return roomLeft;
}
