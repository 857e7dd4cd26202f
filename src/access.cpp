// access.cpp: who may print. The web page origins allowed to print
// (--allow-origin), the names a request's Host may give this machine (so
// that a page whose DNS name was re-pointed at the till cannot print), and
// the CORS lines that tell a browser which page may read an answer.
#include <stdio.h>
#include <string.h>

#include "printservice.h"
#include "webserver.h"

static const char* allowedOrigins[ALLOWED_ORIGINS_MAX]; // point into argv; set before the server starts
static int allowedOriginCount = 0;

// This machine's own names besides localhost, lower case; learnt before the
// server starts and only read afterwards.
static const size_t HOST_NAME_CAPACITY = 256;
static char ownNames[4][HOST_NAME_CAPACITY];
static int ownNameCount = 0;

static bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

static bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static bool isOneOf(char c, const char* set) {
    return c != '\0' && NULL != strchr(set, c);
}

// A header's value without the blanks a sender may leave at its end.
static size_t valueLength(const Header* header) {
    size_t length = header->value.length;
    while (length > 0 && isOneOf(header->value.contents[length - 1], " \t")) {
        length--;
    }
    return length;
}

bool parseIPv4Address(const char* text, size_t length, uint32_t* addressInNetworkOrder) {
    uint8_t octets[4];
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        if (i > 0 && (at >= length || text[at++] != '.')) {
            return false;
        }
        size_t start = at;
        unsigned int value = 0;
        for (; at < length && isDigit(text[at]) && at - start < 4; at++) {
            value = value * 10 + (unsigned int)(text[at] - '0');
        }
        size_t digits = at - start;
        // Leading zeros are refused: some systems read such numbers as octal.
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[start] == '0')) {
            return false;
        }
        octets[i] = (uint8_t)value;
    }
    if (at != length) {
        return false;
    }
    memcpy(addressInNetworkOrder, octets, sizeof(octets));
    return true;
}

// An origin as browsers send it: scheme://host[:port], or null.
struct Origin {
    bool isNull;
    const char* scheme;
    size_t schemeLength;
    const char* host;
    size_t hostLength;
    long port; // -1: none, or the scheme's default
};

static bool parseOrigin(const char* text, size_t length, Origin* origin) {
    memset(origin, 0, sizeof(*origin));
    origin->port = -1;
    if (sameIgnoringASCIICase(text, length, "null", 4)) {
        origin->isNull = true;
        return true;
    }
    size_t at = 0;
    while (at < length && (isAlpha(text[at]) || (at > 0 && (isDigit(text[at]) || isOneOf(text[at], "+-."))))) {
        at++;
    }
    if (at == 0 || length - at < 3 || 0 != memcmp(text + at, "://", 3)) {
        return false;
    }
    origin->scheme = text;
    origin->schemeLength = at;
    at += 3;
    origin->host = text + at;
    if (at < length && text[at] == '[') {
        for (at++; at < length && (isDigit(text[at]) || isOneOf(text[at], "abcdefABCDEF:.")); at++) {
        }
        if (at >= length || text[at] != ']') {
            return false;
        }
        at++;
    } else {
        for (; at < length && (isAlpha(text[at]) || isDigit(text[at]) || isOneOf(text[at], "-._")); at++) {
        }
    }
    origin->hostLength = (size_t)(text + at - origin->host);
    if (origin->hostLength == 0) {
        return false;
    }
    if (at < length && text[at] == ':') {
        size_t start = ++at;
        long port = 0;
        for (; at < length && isDigit(text[at]) && at - start < 6; at++) {
            port = port * 10 + (text[at] - '0');
        }
        if (at == start || port > 65535) {
            return false;
        }
        origin->port = port;
    }
    if (at != length) {
        return false;
    }
    // A browser leaves out the scheme's default port.
    const char* scheme = origin->scheme;
    size_t schemeLength = origin->schemeLength;
    bool plain =
        sameIgnoringASCIICase(scheme, schemeLength, "http", 4) || sameIgnoringASCIICase(scheme, schemeLength, "ws", 2);
    bool secure = sameIgnoringASCIICase(scheme, schemeLength, "https", 5) ||
                  sameIgnoringASCIICase(scheme, schemeLength, "wss", 3);
    if ((plain && origin->port == 80) || (secure && origin->port == 443)) {
        origin->port = -1;
    }
    return true;
}

static bool sameOrigin(const Origin* a, const Origin* b) {
    if (a->isNull || b->isNull) {
        return a->isNull && b->isNull;
    }
    return a->port == b->port && sameIgnoringASCIICase(a->scheme, a->schemeLength, b->scheme, b->schemeLength) &&
           sameIgnoringASCIICase(a->host, a->hostLength, b->host, b->hostLength);
}

bool allowOrigin(const char* origin) {
    Origin parsed;
    if (allowedOriginCount >= ALLOWED_ORIGINS_MAX || !parseOrigin(origin, strlen(origin), &parsed)) {
        return false;
    }
    allowedOrigins[allowedOriginCount++] = origin;
    return true;
}

bool requestOriginIsAllowed(const Request* request) {
    const Header* header = headerInRequest("Origin", request);
    if (allowedOriginCount == 0 || NULL == header) {
        return true;
    }
    Origin sent;
    if (!parseOrigin(header->value.contents, valueLength(header), &sent)) {
        return false;
    }
    for (int i = 0; i < allowedOriginCount; i++) {
        Origin allowed;
        parseOrigin(allowedOrigins[i], strlen(allowedOrigins[i]), &allowed);
        if (sameOrigin(&sent, &allowed)) {
            return true;
        }
    }
    return false;
}

void appendCorsLines(HeapString* lines, const Request* request) {
    if (allowedOriginCount == 0) {
        heapStringAppendString(lines, "Access-Control-Allow-Origin: *\r\n");
    } else {
        // Only reached for an allowed origin: the browser wants its own
        // spelling back.
        const Header* origin = headerInRequest("Origin", request);
        if (NULL != origin) {
            heapStringAppendFormat(lines, "Access-Control-Allow-Origin: %.*s\r\n", (int)valueLength(origin),
                                   origin->value.contents);
        }
        heapStringAppendString(lines, "Vary: Origin\r\n");
    }
    // A page reads a job's id, and whether its answer is a replay, only when exposed.
    heapStringAppendString(lines, "Access-Control-Allow-Headers: Content-Type, Authorization, Idempotency-Key\r\n"
                                  "Access-Control-Allow-Methods: GET, POST, PUT, DELETE, PATCH, OPTIONS\r\n"
                                  "Access-Control-Expose-Headers: Job-Id, Idempotent-Replayed\r\n");
}

static void addOwnName(const char* name, size_t length, const char* suffix) {
    size_t suffixLength = strlen(suffix);
    if (length == 0 || ownNameCount >= 4 || length + suffixLength >= HOST_NAME_CAPACITY) {
        return;
    }
    char* target = ownNames[ownNameCount++];
    for (size_t i = 0; i < length; i++) {
        target[i] = asciiLower(name[i]);
    }
    memcpy(target + length, suffix, suffixLength + 1);
}

void learnThisMachinesNames(void) {
    callWSAStartupIfNecessary();
    char name[HOST_NAME_CAPACITY] = {0};
    if (0 != gethostname(name, sizeof(name) - 1)) {
        return;
    }
    size_t shortLength = strcspn(name, ".");
    addOwnName(name, shortLength, "");
    addOwnName(name, shortLength, ".local");
    if (name[shortLength] == '.') {
        addOwnName(name, strlen(name), "");
    }
    // The name with its domain, as the resolver knows it.
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo* found = NULL;
    if (0 == getaddrinfo(name, NULL, &hints, &found)) {
        const char* canonical = found->ai_canonname;
        if (NULL != canonical && strlen(canonical) > shortLength && canonical[shortLength] == '.' &&
            sameIgnoringASCIICase(canonical, shortLength, name, shortLength) &&
            !sameIgnoringASCIICase(canonical, strlen(canonical), name, strlen(name))) {
            addOwnName(canonical, strlen(canonical), "");
        }
        freeaddrinfo(found);
    }
}

bool requestHostIsThisMachine(const Request* request) {
    const Header* header = headerInRequest("Host", request);
    if (NULL == header) {
        return true;
    }
    const char* host = header->value.contents;
    size_t length = valueLength(header);
    const char* colon = (const char*)memchr(host, ':', length);
    if (length > 0 &&
        (host[0] == '[' || (NULL != colon && NULL != memchr(colon + 1, ':', length - 1 - (size_t)(colon - host))))) {
        return true; // an IPv6 literal
    }
    if (NULL != colon) {
        length = (size_t)(colon - host);
    }
    if (length > 0 && host[length - 1] == '.') {
        length--; // the root's dot
    }
    uint32_t address;
    if (length == 0 || parseIPv4Address(host, length, &address)) {
        return true;
    }
    static const char LOCALHOST[] = ".localhost";
    size_t suffix = sizeof(LOCALHOST) - 1;
    if (sameIgnoringASCIICase(host, length, LOCALHOST + 1, suffix - 1) ||
        (length > suffix && sameIgnoringASCIICase(host + length - suffix, suffix, LOCALHOST, suffix))) {
        return true;
    }
    for (int i = 0; i < ownNameCount; i++) {
        if (sameIgnoringASCIICase(host, length, ownNames[i], strlen(ownNames[i]))) {
            return true;
        }
    }
    return false;
}
