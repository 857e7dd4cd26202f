// request.cpp: the incremental HTTP request parser, the URL decoder, header
// lookup and the report of truncated requests. The parser takes one byte at
// a time and keeps all its state in the Request, so a stream may be split
// anywhere; everything except the body lives in fixed-size storage. A body
// is read only when its framing is sound, and only while each block it grows
// into fits in the memory budget; otherwise the request completes at once
// with the reason in bodyStatus.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "internal.h"

// The first body block: four receive buffers. Blocks then double, so memory
// follows what arrived and a head alone costs nothing.
static const size_t REQUEST_BODY_FIRST_BLOCK = 65536;

BodyMemory* requestDefaultBodyMemory(void) {
    static BodyMemory pool = {{0}, serverLimitsDefault().bodyMemoryBudget};
    return &pool;
}

static BodyMemory* bodyMemoryOf(Request* request) {
    if (NULL == request->bodyMemory) {
        request->bodyMemory = requestDefaultBodyMemory();
    }
    return request->bodyMemory;
}

// Holds `bytes` of the budget for this request; false when they are not left.
static bool reserveBodyMemory(Request* request, size_t bytes) {
    BodyMemory* memory = bodyMemoryOf(request);
    size_t inUse = memory->inUse.load();
    do {
        if (inUse > memory->budget || bytes > memory->budget - inUse) {
            return false;
        }
    } while (!memory->inUse.compare_exchange_weak(inUse, inUse + bytes));
    request->bodyReserved += bytes;
    return true;
}

void requestFreeBody(Request* request) {
    heapStringFreeContents(&request->body);
    if (request->bodyReserved > 0) {
        bodyMemoryOf(request)->inUse.fetch_sub(request->bodyReserved);
        request->bodyReserved = 0;
    }
}

bool requestBodyRefused(const Request* request) {
    return request->bodyStatus >= RequestBodyStatusHeadCut;
}

bool requestIsReadingBody(const Request* request) {
    return request->state == RequestParseStateBody || request->state >= RequestParseStateChunkSize;
}

// Ends the request without body: nothing more is read into it.
static void refuseBody(Request* request, RequestBodyStatus status) {
    requestFreeBody(request);
    request->bodyStatus = status;
    request->state = RequestParseStateDone;
}

// Makes room for `needed` body bytes, never beyond what was declared, and
// holds the growth in the budget; false, with the body refused, when the
// budget or the memory cannot be had. The block size depends only on
// `needed`, so the record does not depend on how the stream was split.
static bool growBody(Request* request, size_t needed) {
    HeapString* body = &request->body;
    if (needed <= body->capacity) {
        return true;
    }
    size_t capacity = REQUEST_BODY_FIRST_BLOCK;
    while (capacity < needed) {
        capacity *= 2;
    }
    if (capacity > request->bodyExpected) {
        capacity = request->bodyExpected;
    }
    if (!reserveBodyMemory(request, capacity - body->capacity)) {
        refuseBody(request, RequestBodyStatusOverBudget);
        return false;
    }
    char* grown = (char*)realloc(body->contents, capacity + 1);
    if (NULL == grown) {
        refuseBody(request, RequestBodyStatusNoMemory);
        return false;
    }
    memset(grown + body->length, 0, capacity + 1 - body->length);
    body->contents = grown;
    body->capacity = capacity;
    return true;
}

// Stores up to `available` bytes of the current body piece (`wanted` bytes
// left in it); returns how many were taken, 0 after a refusal.
static size_t storeBodyBytes(Request* request, const char* bytes, size_t available, size_t wanted) {
    size_t take = wanted < available ? wanted : available;
    if (!growBody(request, request->body.length + take)) {
        return 0;
    }
    memcpy(request->body.contents + request->body.length, bytes, take);
    request->body.length += take;
    return take;
}

static bool nameEqualsIgnoringASCIICase(const PoolString* name, const char* text);

static bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// A Content-Length value: digits with optional blanks around them. Saturates
// just above the largest body. False for anything else (signs, hex, lists).
static bool parseContentLength(const char* text, size_t* value) {
    const char* cursor = text;
    while (isBlank(*cursor)) {
        cursor++;
    }
    if (!isdigit((unsigned char)*cursor)) {
        return false;
    }
    size_t magnitude = 0;
    while (isdigit((unsigned char)*cursor)) {
        if (magnitude <= REQUEST_MAX_BODY_LENGTH) {
            magnitude = magnitude * 10 + (size_t)(*cursor - '0');
        }
        cursor++;
    }
    while (isBlank(*cursor)) {
        cursor++;
    }
    *value = magnitude;
    return *cursor == '\0';
}

// Notes a header line that declares a body, whether the line is kept or
// not, so that a refused head is drained only when a body may follow it.
static void noteBodyDeclaration(Request* request, char c) {
    static const char* const NAMES[] = {"content-length", "transfer-encoding"};
    unsigned char lower = (unsigned char)asciiLower(c);
    if (request->declarationName == 0) {
        request->declarationName = lower == 'c' ? 1 : (lower == 't' ? 2 : 3);
        request->declarationMatched = 0;
    }
    if (request->declarationName > 2) {
        return;
    }
    const char* name = NAMES[request->declarationName - 1];
    if (name[request->declarationMatched] == '\0') {
        if (c == ':' || isBlank(c)) {
            request->bodyDeclared = true;
        }
        request->declarationName = 3;
    } else if (lower == (unsigned char)name[request->declarationMatched]) {
        request->declarationMatched++;
    } else {
        request->declarationName = 3;
    }
}

// The state in which the next header line begins; sets tooManyHeaders on a 65th.
static RequestParseState stateHeaderNameIfSpaceLeft(Request* request) {
    request->declarationName = 0;
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
    WEBSERVER_ASSERT(request->headersCount < REQUEST_MAX_HEADERS &&
                     "Parsing the request header name assumes we have space for more headers");
    Header* header = &request->headers[request->headersCount];
    if (c == ':') {
        if (header->name.length == 0) {
            request->headerLineMalformed = true;
        }
        request->state = RequestParseStateHeaderValue;
    } else if (c == '\r') {
        request->headerLineMalformed = true; // a line without a colon
        request->state = RequestParseStateCR;
    } else {
        // "Content-Length : 5" must not pass for a header without a length.
        if (isBlank(c)) {
            request->headerLineMalformed = true;
        }
        appendToPoolString(request, &header->name, c);
    }
}

// Whether the value, without blanks around it, equals text ignoring ASCII case.
static bool valueIsToken(const PoolString* value, const char* text) {
    size_t start = 0, length = value->length;
    while (start < length && isBlank(value->contents[start])) {
        start++;
    }
    while (length > start && isBlank(value->contents[length - 1])) {
        length--;
    }
    PoolString trimmed = {value->contents + start, length - start};
    return nameEqualsIgnoringASCIICase(&trimmed, text);
}

// Decides at the empty line how the body is framed, and refuses it there,
// before any of it is stored, when it cannot be printed truthfully.
static void finishHead(Request* request) {
    request->state = RequestParseStateDone;
    const Warnings* warnings = &request->warnings;
    if (warnings->headersStringPoolExhausted || warnings->tooManyHeaders || warnings->methodTruncated ||
        warnings->versionTruncated || warnings->pathTruncated) {
        request->bodyStatus = RequestBodyStatusHeadCut;
        return;
    }
    if (request->requestLineControl) {
        request->bodyStatus = RequestBodyStatusRequestLineControl;
        return;
    }
    if (request->headerLineMalformed) {
        request->bodyStatus = RequestBodyStatusHeadMalformed;
        return;
    }
    bool hasLength = false, lengthValid = true, chunked = false;
    size_t length = 0, codings = 0;
    for (size_t i = 0; i < request->headersCount; i++) {
        const Header* header = &request->headers[i];
        if (nameEqualsIgnoringASCIICase(&header->name, "Content-Length")) {
            size_t value = 0;
            if (!parseContentLength(header->value.contents, &value) || (hasLength && value != length)) {
                lengthValid = false;
            }
            hasLength = true;
            length = value;
        } else if (nameEqualsIgnoringASCIICase(&header->name, "Transfer-Encoding")) {
            codings++;
            chunked = valueIsToken(&header->value, "chunked");
        }
    }
    if (hasLength && codings > 0) {
        request->bodyStatus = RequestBodyStatusLengthAndTransferCoding;
    } else if (codings > 0) {
        if (codings == 1 && chunked) {
            request->bodyStatus = RequestBodyStatusChunked;
            request->state = RequestParseStateChunkSize;
        } else {
            request->bodyStatus = RequestBodyStatusTransferCodingUnsupported;
        }
    } else if (!hasLength) {
        request->bodyStatus = RequestBodyStatusNone;
    } else if (!lengthValid) {
        request->bodyStatus = RequestBodyStatusLengthInvalid;
    } else if (length > REQUEST_MAX_BODY_LENGTH) {
        request->bodyStatus = RequestBodyStatusTooLarge;
    } else {
        request->bodyStatus = RequestBodyStatusLength;
        request->bodyExpected = length;
        if (length > 0) {
            request->state = RequestParseStateBody;
        }
    }
}

// One byte of the chunked framing (everything but chunk data).
static void parseChunkFramingByte(Request* request, char c) {
    RequestParseState state = request->state;
    bool lineByte = c != '\r' && (state == RequestParseStateChunkSize || state == RequestParseStateChunkExtension ||
                                  state == RequestParseStateTrailer || state == RequestParseStateTrailerLine);
    if (lineByte) {
        if (request->chunkLineLength == REQUEST_MAX_CHUNK_LINE_LENGTH) {
            refuseBody(request, RequestBodyStatusChunkMalformed);
            return;
        }
        request->chunkLineLength++;
    }
    switch (request->state) {
    case RequestParseStateChunkSize:
        if (isxdigit((unsigned char)c)) {
            unsigned digit = (unsigned)(isdigit((unsigned char)c) ? c - '0' : (c | 0x20) - 'a' + 10);
            request->chunkRemaining = request->chunkRemaining * 16 + digit;
            // Checked at every digit, so the size can never overflow.
            if (request->chunkRemaining > REQUEST_MAX_BODY_LENGTH - request->bodyExpected) {
                refuseBody(request, RequestBodyStatusTooLarge);
            }
        } else if (request->chunkLineLength == (lineByte ? 1u : 0u)) {
            refuseBody(request, RequestBodyStatusChunkMalformed); // no digit before it
        } else if (c == ';' || isBlank(c)) {
            request->state = RequestParseStateChunkExtension;
        } else if (c == '\r') {
            request->state = RequestParseStateChunkSizeLF;
        } else {
            refuseBody(request, RequestBodyStatusChunkMalformed);
        }
        break;
    case RequestParseStateChunkExtension: // extensions are ignored
        if (c == '\r') {
            request->state = RequestParseStateChunkSizeLF;
        } else if (c == '\n') {
            refuseBody(request, RequestBodyStatusChunkMalformed);
        }
        break;
    case RequestParseStateChunkSizeLF:
        if (c != '\n') {
            refuseBody(request, RequestBodyStatusChunkMalformed);
        } else if (request->chunkRemaining == 0) {
            request->chunkLineLength = 0;
            request->state = RequestParseStateTrailer;
        } else {
            request->bodyExpected += request->chunkRemaining;
            request->state = RequestParseStateChunkData;
        }
        break;
    case RequestParseStateChunkDataCR:
        if (c == '\r') {
            request->state = RequestParseStateChunkDataLF;
        } else {
            refuseBody(request, RequestBodyStatusChunkMalformed);
        }
        break;
    case RequestParseStateChunkDataLF:
        if (c == '\n') {
            request->chunkLineLength = 0;
            request->state = RequestParseStateChunkSize;
        } else {
            refuseBody(request, RequestBodyStatusChunkMalformed);
        }
        break;
    case RequestParseStateTrailer: // trailer lines are read and dropped
        request->state = c == '\r' ? RequestParseStateTrailerEndLF : RequestParseStateTrailerLine;
        break;
    case RequestParseStateTrailerLine:
        if (c == '\r') {
            request->state = RequestParseStateTrailerLineLF;
        }
        break;
    case RequestParseStateTrailerLineLF:
        if (c == '\n') {
            request->chunkLineLength = 0;
            request->state = RequestParseStateTrailer;
        } else {
            refuseBody(request, RequestBodyStatusChunkMalformed);
        }
        break;
    case RequestParseStateTrailerEndLF:
        if (c == '\n') {
            request->state = RequestParseStateDone;
        } else {
            refuseBody(request, RequestBodyStatusChunkMalformed);
        }
        break;
    default:
        WEBSERVER_ASSERT(false && "Only the chunked framing states reach parseChunkFramingByte");
    }
}

// A control byte has no place in a request line; one there (a NUL that
// would end the target early, a line break that would forge a log line)
// refuses the request.
static bool isControlByte(char c) {
    return (unsigned char)c < 0x20 || c == 0x7f;
}

void requestParse(Request* request, const char* requestFragment, size_t requestFragmentLength) {
    for (size_t i = 0; i < requestFragmentLength; i++) {
        char c = requestFragment[i];
        if (request->state <= RequestParseStateVersion && isControlByte(c) &&
            !(request->state == RequestParseStateVersion && c == '\r')) {
            request->requestLineControl = true;
        }
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
                WEBSERVER_ASSERT_TEXT(success, "Somehow unable to decode the path--this should always work with "
                                               "->pathDecoded has the same capacity as ->path");
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
            noteBodyDeclaration(request, c);
            parseHeaderNameByte(request, c);
            break;
        case RequestParseStateHeaderValue: {
            WEBSERVER_ASSERT(request->headersCount < REQUEST_MAX_HEADERS &&
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
                request->headerLineMalformed = true; // a bare CR: the byte after it is lost
                request->state = stateHeaderNameIfSpaceLeft(request);
            }
            break;
        case RequestParseStateCRLF:
            if (c == '\r') {
                request->state = RequestParseStateCRLFCR;
            } else {
                request->state = stateHeaderNameIfSpaceLeft(request);
                noteBodyDeclaration(request, c);
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
                request->headerLineMalformed = true;
                request->state = stateHeaderNameIfSpaceLeft(request);
            }
            break;
        case RequestParseStateBody: {
            // Copy the rest of the body from this fragment in one step.
            size_t take = storeBodyBytes(request, requestFragment + i, requestFragmentLength - i,
                                         request->bodyExpected - request->body.length);
            if (take == 0) {
                return; // refused: nothing more is read
            }
            i += take - 1;
            if (request->body.length == request->bodyExpected) {
                request->state = RequestParseStateDone;
            }
            break;
        }
        case RequestParseStateChunkData: {
            size_t take =
                storeBodyBytes(request, requestFragment + i, requestFragmentLength - i, request->chunkRemaining);
            if (take == 0) {
                return;
            }
            i += take - 1;
            request->chunkRemaining -= take;
            if (request->chunkRemaining == 0) {
                request->state = RequestParseStateChunkDataCR;
            }
            break;
        }
        case RequestParseStateChunkSize:
        case RequestParseStateChunkExtension:
        case RequestParseStateChunkSizeLF:
        case RequestParseStateChunkDataCR:
        case RequestParseStateChunkDataLF:
        case RequestParseStateTrailer:
        case RequestParseStateTrailerLine:
        case RequestParseStateTrailerLineLF:
        case RequestParseStateTrailerEndLF:
            parseChunkFramingByte(request, c);
            break;
        case RequestParseStateEatHeaders:
            noteBodyDeclaration(request, c);
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

// Compares by the slice's length: a name holding a NUL byte must not match
// the text in front of that byte.
static bool nameEqualsIgnoringASCIICase(const PoolString* name, const char* text) {
    return sameIgnoringASCIICase(name->contents, name->length, text, strlen(text));
}

const Header* headerInRequest(const char* headerName, const Request* request) {
    for (size_t i = 0; i < request->headersCount; i++) {
        WEBSERVER_ASSERT(NULL != request->headers[i].name.contents && "NULL != request->headers[i].name.contents");
        if (nameEqualsIgnoringASCIICase(&request->headers[i].name, headerName)) {
            return &request->headers[i];
        }
    }
    return NULL;
}

enum URLDecodeState : uint32_t {
    URLDecodeStateNormal = 0,
    URLDecodeStatePercentFirstDigit = 1,
    URLDecodeStatePercentSecondDigit = 2,
};

bool URLDecode(const char* encoded, char* decoded, size_t decodedCapacity, size_t* decodedLength, URLDecodeType type) {
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
