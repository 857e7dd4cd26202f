// webserver.h: the public interface of the embedded HTTP/1.1 server module.
//
// One thread per connection, one request per connection, fixed-size request
// storage (only the body is sized by the request), and two callbacks that the
// embedding program provides: createResponseForRequest for every complete
// request and onEscposRequest for every chunk of a connection whose first
// byte is ESC. Strings returned by functions whose names begin with strdup
// belong to the caller, who releases them with free.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "platform.h"

// ---- Switches: process-wide, fixed at start --------------------------------

extern bool OptionPrintWholeRequest;            // echo received HTTP bytes to stdout
extern bool OptionIncludeStatusPageAndCounters; // keep the statistics record
extern bool OptionListDirectoryContents;        // file serving may list directories
extern bool OptionPrintResponse;                // echo sent heads and bodies to stdout

// ---- Heap strings -----------------------------------------------------------

// A growable NUL-terminated byte string; capacity doubles from 256 bytes.
// Bytes before `length` may include NUL bytes.
struct HeapString {
    char* contents;  // null while nothing is allocated
    size_t length;   // bytes in use, without the terminator
    size_t capacity; // size of the block; 0 while contents is null
};

// Makes the record empty (no block).
void heapStringInit(HeapString* string);
// Releases the block, if any, and makes the record empty.
void heapStringFreeContents(HeapString* string);
// Replaces the contents with a copy of cString (allocates even for "").
void heapStringSetToCString(HeapString* heapString, const char* cString);
// Appends one byte.
void heapStringAppendChar(HeapString* string, char c);
// Appends a NUL-terminated string; appending "" changes nothing.
void heapStringAppendString(HeapString* string, const char* stringToAppend);
// Appends source's `length` bytes, NUL bytes included.
void heapStringAppendHeapString(HeapString* target, const HeapString* source);
// Appends printf-style formatted text; a formatting error leaves the string unchanged.
void heapStringAppendFormat(HeapString* string, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same with an argument list.
void heapStringAppendFormatV(HeapString* string, const char* format, va_list ap);

// A slice of a request's header string pool; owns nothing.
struct PoolString {
    char* contents; // null before the string is started, or when the pool was full
    size_t length;
};

// ---- Requests ---------------------------------------------------------------

static const size_t REQUEST_MAX_HEADERS = 64;
static const size_t REQUEST_HEADERS_MAX_MEMORY = 8192;
static const size_t REQUEST_MAX_BODY_LENGTH = 134217728; // 128 MiB
static const size_t REQUEST_METHOD_CAPACITY = 64;
static const size_t REQUEST_VERSION_CAPACITY = 16;
static const size_t REQUEST_PATH_CAPACITY = 1024;
// Pool bytes at this offset and beyond are never written.
static const size_t REQUEST_HEADERS_POOL_LIMIT = REQUEST_HEADERS_MAX_MEMORY - 5;

enum RequestParseState : uint32_t {
    RequestParseStateMethod = 0,
    RequestParseStatePath = 1,
    RequestParseStateVersion = 2,
    RequestParseStateHeaderName = 3,
    RequestParseStateHeaderValue = 4,
    RequestParseStateCR = 5,
    RequestParseStateCRLF = 6,
    RequestParseStateCRLFCR = 7,
    RequestParseStateBody = 8,
    RequestParseStateEatHeaders = 9,
    RequestParseStateDone = 10,
};

// What was cut off while parsing a request.
struct Warnings {
    bool headersStringPoolExhausted;
    bool tooManyHeaders;
    bool methodTruncated;
    bool versionTruncated;
    bool pathTruncated;
    bool bodyTruncated;
};

struct Header {
    PoolString name;  // as received, letter case preserved
    PoolString value; // without its leading spaces
};

// One HTTP request in fixed-size storage. Must start all zero bytes.
struct Request {
    char method[REQUEST_METHOD_CAPACITY];
    size_t methodLength;
    char version[REQUEST_VERSION_CAPACITY];
    size_t versionLength;
    char path[REQUEST_PATH_CAPACITY]; // the target as received, still encoded
    size_t pathLength;
    char pathDecoded[REQUEST_PATH_CAPACITY];
    size_t pathDecodedLength;
    HeapString body; // contents null unless a positive length was declared
    Header headers[REQUEST_MAX_HEADERS];
    size_t headersCount;
    char headersStringPool[REQUEST_HEADERS_MAX_MEMORY];
    size_t headersStringPoolOffset;
    Warnings warnings;
    RequestParseState state;
};

// The first complete header whose name equals headerName, ignoring ASCII
// letter case; null when there is none. Points into the request.
const Header* headerInRequest(const char* headerName, const Request* request);

// ---- Responses --------------------------------------------------------------

// What the application hands back for one request. Every non-null pointer
// field is a heap block that responseFree releases.
struct Response {
    int code;
    HeapString body;
    char* filenameToSend; // non-null: the file's bytes are the body
    char* status;
    char* contentType;  // null in a file response: detected when sent
    char* extraHeaders; // further head lines, each ending in "\r\n"
};

// A response with an empty body block of exactly bodyCapacity bytes (none for 0).
Response* responseAlloc(int code, const char* status, const char* contentType, size_t bodyCapacity);
// 200 "OK", text/html, a copy of html.
Response* responseAllocHTML(const char* html);
// 200 "OK", text/html, the formatted text.
Response* responseAllocHTMLWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// code and status, text/html, a copy of html.
Response* responseAllocHTMLWithStatus(int code, const char* status, const char* html);
// 200 "OK", application/json, a copy of json.
Response* responseAllocJSON(const char* json);
// 200 "OK", application/json, the formatted text.
Response* responseAllocJSONWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// code and status, application/json, a copy of json.
Response* responseAllocJSONWithStatus(int code, const char* status, const char* json);
// code, status and content type with the formatted text as body.
Response* responseAllocWithFormat(int code, const char* status, const char* contentType, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// 400 page; the message (HTML, inserted as given) defaults when null.
Response* responseAlloc400BadRequestHTML(const char* errorMessage);
// 404 page naming the path (HTML-escaped), or without a path for null.
Response* responseAlloc404NotFoundHTML(const char* resourcePathOrNull);
// 500 page with the extra text, or without it for null.
Response* responseAlloc500InternalErrorHTML(const char* extraInformationOrNull);
// 200 "OK" whose body is the file's bytes; a null type is detected when sent.
Response* responseAllocWithFile(const char* filename, const char* MIMETypeOrNULL);
// Releases the response and everything it owns; for a response the program
// made and does not hand to the module after all.
void responseFree(Response* response);

// ---- Servers and connections -----------------------------------------------

struct Server {
    bool initialized;
    pthread_mutex_t globalMutex;
    std::atomic<bool> shouldRun; // read by the accept loop without the mutex
    sockettype listenerfd;
    void* tag; // the embedding program's; never touched by the module
    bool stopped;
    pthread_mutex_t stoppedMutex;
    pthread_cond_t stoppedCond;
    int32_t activeConnectionCount;
    pthread_cond_t connectionFinishedCond;
    pthread_mutex_t connectionFinishedLock;
    bool listenerOpen; // under globalMutex: the listener exists and is not yet closed
};

// Byte counts of one connection.
struct ConnectionStatus {
    int64_t bytesSent;
    int64_t bytesReceived; // HTTP bytes only, never those of a raw stream
};

static const size_t CONNECTION_BUFFER_SIZE = 16384;
static const size_t CONNECTION_RESPONSE_HEADER_SIZE = 1024;

// One accepted connection; owned by its thread from hand-over until it is freed.
struct Connection {
    char sendRecvBuffer[CONNECTION_BUFFER_SIZE];
    char responseHeader[CONNECTION_RESPONSE_HEADER_SIZE];
    sockettype socketfd;
    struct sockaddr_storage remoteAddr;
    socklen_t remoteAddrLength;
    char remoteHost[128];
    char remotePort[16];
    ConnectionStatus status;
    Request request;
    Server* server;
};

// Prepares a zero-filled record; a second call only prints a warning.
void serverInit(Server* server);
// Tells a running server to stop; returns once its accept loop has ended and
// every connection has finished. Only prints a warning for an uninitialised record.
void serverStop(Server* server);
// Releases the record's mutexes and condition variables.
void serverDeInit(Server* server);
// Listens on address and serves until stopped (a null server: a private one,
// released at the end). 0 once stopped and drained; 1 when the listener
// cannot be created or bound.
int acceptConnectionsUntilStopped(Server* serverOrNULL, const struct sockaddr* address, socklen_t addressLength);
// The same on every IPv4 address and the given port.
int acceptConnectionsUntilStoppedFromEverywhereIPv4(Server* serverOrNULL, uint16_t portInHostOrder);
// Lock and unlock the server's mutex; 0 on success.
int serverMutexLock(Server* server);
int serverMutexUnlock(Server* server);

// A peer that sends nothing (or takes nothing) for this long is disconnected.
static const int CONNECTION_IDLE_TIMEOUT_MS = 30000;

// ---- Provided by the embedding program -------------------------------------

// Called once per complete request on the connection's thread. Returns a new
// response that the module sends and frees, or null when the program has
// answered on the connection itself.
Response* createResponseForRequest(const Request* request, Connection* connection);
// Called for every chunk of a raw stream (state 1, 3, 5, ...) and once at its
// end with len 0 (peer closed) or negative (receive error or idle timeout).
void onEscposRequest(unsigned int state, const char* data, ssize_t len);

// ---- Static file serving ----------------------------------------------------

// Maps a request under pathPrefix (null: "/") to documentRoot and returns a
// file response, an index.html, a directory listing or an error page.
Response* responseAllocServeFileFromRequestPath(const char* pathPrefix, const char* requestPath,
                                                const char* requestPathDecoded, const char* documentRoot);
// Whether requestPathDecoded lies under pathPrefix; matchLength (may be null)
// receives how many leading bytes the prefix covers.
bool requestMatchesPathPrefix(const char* requestPathDecoded, const char* pathPrefix, size_t* matchLength);
// A static content type from the file's first bytes and its name.
const char* MIMETypeFromFile(const char* filename, const uint8_t* contents, size_t contentsLength);

// ---- Parameters and escaping ------------------------------------------------

// The decoded value after the first occurrence of paramNameIncludingEquals
// ("name=") in paramString; a copy of valueIfNotFound (or null) when absent.
char* strdupDecodeGETorPOSTParam(const char* paramNameIncludingEquals, const char* paramString,
                                 const char* valueIfNotFound);
// The same, searching the request's raw target.
char* strdupDecodeGETParam(const char* paramNameIncludingEquals, const Request* request, const char* valueIfNotFound);
// The same, searching the request's body up to its first NUL.
char* strdupDecodePOSTParam(const char* paramNameIncludingEquals, const Request* request, const char* valueIfNotFound);
// The text with space, quote, ampersand, apostrophe, < and > replaced by entities.
char* strdupEscapeForHTML(const char* stringToEscape);

// ---- Diagnostics ------------------------------------------------------------

// A multi-line description of the connection's request, counts and warnings;
// the caller releases it with heapStringFreeContents.
HeapString connectionDebugStringCreate(const Connection* connection);
