// webserver.h: the public interface of the embedded HTTP/1.1 server module.
//
// One thread per connection, one request per connection, fixed-size request
// storage (only the body is sized by the request), and three callbacks that
// the embedding program provides: createResponseForRequest for every complete
// request, onEscposRequest for every chunk of a connection whose first byte
// is ESC or DLE, escposJobIsWaitingForPrinter for the pace of such streams and
// escposStreamIsBetweenReceipts for where one of their receipts ends.
// Limits in time and in connections keep one peer from holding up the rest.
// Strings returned by functions whose names begin with strdup belong to the
// caller, who releases them with free.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "platform.h"

// ---- Switches: process-wide, fixed at start --------------------------------

extern bool OptionPrintWholeRequest;            // echo received HTTP bytes to stdout
extern bool OptionIncludeStatusPageAndCounters; // keep the statistics record
extern bool OptionListDirectoryContents;        // file serving may list directories
extern bool OptionPrintResponse;                // echo sent heads and bodies to stdout

// ---- ASCII letter case ------------------------------------------------------

// The byte with A to Z made a to z; every other byte (and every locale) as it is.
inline char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}
// Whether the two byte runs are equal but for the letter case of ASCII letters.
bool sameIgnoringASCIICase(const char* a, size_t aLength, const char* b, size_t bLength);

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
    // A chunked body, a chunk at a time.
    RequestParseStateChunkSize = 11,      // in the hex digits of a chunk size
    RequestParseStateChunkExtension = 12, // after the size, up to the CR
    RequestParseStateChunkSizeLF = 13,    // after the CR of the size line
    RequestParseStateChunkData = 14,      // in a chunk's data
    RequestParseStateChunkDataCR = 15,    // after a chunk's data
    RequestParseStateChunkDataLF = 16,    // after the CR that follows the data
    RequestParseStateTrailer = 17,        // at the start of a trailer line
    RequestParseStateTrailerLine = 18,    // in a trailer line (dropped)
    RequestParseStateTrailerLineLF = 19,  // after the CR of a trailer line
    RequestParseStateTrailerEndLF = 20,   // after the CR of the empty last line
};

// How the body of a request is framed, and why it is absent when it was
// refused. From RequestBodyStatusHeadCut on, the request completed at the end
// of its head (or when the refusal was found) and no more body is read.
enum RequestBodyStatus : uint32_t {
    RequestBodyStatusNone = 0,                      // no length and no transfer coding: empty body
    RequestBodyStatusLength = 1,                    // a valid Content-Length
    RequestBodyStatusChunked = 2,                   // Transfer-Encoding: chunked
    RequestBodyStatusHeadCut = 3,                   // a Warnings flag of the head is set
    RequestBodyStatusHeadMalformed = 4,             // a header line without colon or name, or a name with blanks
    RequestBodyStatusLengthInvalid = 5,             // Content-Length unparseable, negative or conflicting
    RequestBodyStatusLengthAndTransferCoding = 6,   // both Content-Length and Transfer-Encoding
    RequestBodyStatusTransferCodingUnsupported = 7, // a transfer coding other than chunked alone
    RequestBodyStatusChunkMalformed = 8,            // chunk syntax broken, or a chunk line too long
    RequestBodyStatusTooLarge = 9,                  // more than REQUEST_MAX_BODY_LENGTH declared or sent
    RequestBodyStatusOverBudget = 10,               // does not fit in what is left of the memory budget
    RequestBodyStatusNoMemory = 11,                 // the body block could not be had
    RequestBodyStatusRequestLineControl = 12,       // a control byte in the method, target or version
};

// A chunk-size line (with extensions) or trailer line longer than this is malformed.
static const size_t REQUEST_MAX_CHUNK_LINE_LENGTH = 4096;

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

// Body memory that requests hold, shared by the connections of one server
// and bounded by its budget; internal to the module.
struct BodyMemory;

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
    RequestBodyStatus bodyStatus;
    bool headerLineMalformed;   // a header line had no colon, an empty name or blanks in its name
    bool requestLineControl;    // the method, target or version holds a control byte
    bool bodyDeclared;          // a Content-Length or Transfer-Encoding line came, kept or not
    uint8_t declarationName;    // the current header line: 0 at its start, 1 or 2 while it may name one, 3 not
    uint8_t declarationMatched; // bytes of that name seen so far
    size_t bodyExpected;        // Content-Length, or the sum of the chunk sizes so far
    size_t bodyReserved;        // bytes of the body memory budget held for this body
    BodyMemory* bodyMemory;     // where bodyReserved is held; null: a pool of the default budget
    size_t chunkRemaining;      // data bytes left in the current chunk
    size_t chunkLineLength;     // bytes of the current chunk-size or trailer line
};

// Whether the request's body was refused (it is then empty and was not read
// to its end): bodyStatus at or beyond RequestBodyStatusHeadCut.
bool requestBodyRefused(const Request* request);

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

// ---- Limits -----------------------------------------------------------------

// Every limit the server applies to its connections, in one record: the
// server takes it at start (Server.limits, before the accept loop runs) and
// never changes it while it serves. serverLimitsDefault() gives the values
// in force unless a program or a test hands over others.
struct ServerLimits {
    // A peer that sends nothing (or takes nothing) for this long is
    // disconnected. Default 30 s.
    int idleTimeoutMs;
    // The whole HTTP request, head and body, must arrive within this long of
    // its first byte, or the connection is dropped as if the peer had closed.
    // Default 10 min: the largest body (128 MiB) fits at 1.8 Mbit/s, slower
    // than any shop link.
    int requestDeadlineMs;
    // A connection that begins with a TLS handshake must finish it within
    // this long, or it is closed; the request's own limits start after it.
    // Default 10 s.
    int tlsHandshakeDeadlineMs;
    // While another job waits for the printer, a raw stream must deliver at
    // least rawStreamMinBytes per paceWindowMs spent waiting for bytes, or it
    // ends as on idle. Default 4 KiB per 5 s, slower than a 9600-baud serial
    // line, so a receipt sent as it is made keeps its pace; a trickler holds
    // the printer for at most one window after another job begins to wait.
    int paceWindowMs;
    int64_t rawStreamMinBytes;
    // However fast it sends, a raw stream keeps the printer at most this long
    // once another job waits, so that the job starts within its own wait
    // limit. Default 30 s.
    int rawStreamYieldMs;
    // A raw stream that stands between two receipts (see
    // escposStreamIsBetweenReceipts) gives its job up, and stays open, once
    // it has sent nothing for receiptPauseMs (default 200 ms), or when the
    // pace rule would end it: its next bytes begin a new job, which takes its
    // turn for the printer like any other. A receipt is never split, and a
    // client that keeps its connection open between receipts never holds the
    // printer while it has nothing to print. Waiting between receipts,
    // without a job, it is closed after betweenReceiptsIdleMs without a byte
    // (default 5 min, with a line in the log).
    int receiptPauseMs;
    int betweenReceiptsIdleMs;
    // Connections served at once, in all and from one peer address (default
    // 1024 and 128). Far below the descriptor limit, and each costs a thread.
    // A shop's tills and pages need a few each; a flood from one host leaves
    // room for the rest. One more waits, parked without a thread and unread,
    // until its address (or the server) has room; when every slot is taken a
    // new connection takes the slot of the one that has waited longest for
    // its request head (at least displaceAfterMs, default 1 s), or whose body
    // arrives slower than the raw stream pace.
    int maxConnections;
    int maxConnectionsPerPeer;
    int displaceAfterMs;
    // Connections parked at most (default 4096); fewer where the descriptor
    // limit leaves no room for them. One more is closed at once.
    int maxParkedConnections;
    // Connections whose threads have not had to wait for their peer yet are
    // served at most this many at once (default 4): threads beyond the cores
    // only take turns for them and for the printer. One more waits its turn
    // in arrival order, for a thread that ends its connection or starts to
    // wait; while none does for turnWaitMaxMs (default 5), each one waiting
    // gets a thread of its own, so that slow peers cannot hold the rest back.
    int connectionsServedAtOnce;
    int turnWaitMaxMs;
    // Body blocks of all connections together (default 256 MiB): room for two
    // of the largest bodies at once, so one slow job cannot keep the next one
    // out. It counts the blocks bodies have grown to with what arrived, never
    // a declared length: a promise alone holds nothing.
    size_t bodyMemoryBudget;
};

// The limits a server applies unless it is handed others.
ServerLimits serverLimitsDefault(void);

// ---- Servers and connections -----------------------------------------------

// The accept loop's own state (counts per address, parked connections, body
// memory in use); internal to the module.
struct ServerState;

struct Server {
    bool initialized;
    pthread_mutex_t globalMutex;
    bool shouldRun; // read by the accept loop without the mutex, as an atomic
    sockettype listenerfd;
    void* tag; // the embedding program's; never touched by the module
    bool stopped;
    pthread_mutex_t stoppedMutex;
    pthread_cond_t stoppedCond;
    int32_t activeConnectionCount;
    pthread_cond_t connectionFinishedCond;
    pthread_mutex_t connectionFinishedLock;
    bool listenerOpen;     // under globalMutex: the listener exists and is not yet closed
    ServerLimits limits;   // serverInit sets the defaults; set others before the accept loop starts
    ServerState* state;    // made by serverInit, released by serverDeInit
    struct TLSServer* tls; // under globalMutex: made by the first serverSetTLSCredentials, null before
};

// Byte counts of one connection.
struct ConnectionStatus {
    int64_t bytesSent;
    int64_t bytesReceived; // HTTP bytes only, never those of a raw stream
};

static const size_t CONNECTION_BUFFER_SIZE = 16384;
static const size_t CONNECTION_RESPONSE_HEADER_SIZE = 1024;

// How one connection's bytes move: read and written only by the module's
// transport functions, never directly.
struct ConnectionTransport {
    sockettype socket;
    // Held for every send, so that the raw stream's replies, sent from
    // another thread, never interleave with the connection thread's own.
    pthread_mutex_t sendLock;
    struct TLSSession* tls; // the session of an encrypted connection; null on a plain one
};

// One accepted connection; owned by its thread from hand-over until it is freed.
struct Connection {
    char sendRecvBuffer[CONNECTION_BUFFER_SIZE];
    char responseHeader[CONNECTION_RESPONSE_HEADER_SIZE];
    ConnectionTransport transport;
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
// Tells a running server to stop; returns once its accept loop has ended (at
// once when it failed to start) and every connection has finished. Only
// prints a warning for an uninitialised record.
void serverStop(Server* server);
// How long a graceful stop lets the jobs in progress finish.
static const int SERVER_STOP_GRACE_MS = 10000;
// Begins a graceful stop and returns at once; a second call changes nothing.
// The listener closes (new connections are refused), and so do connections
// without a complete request head and parked ones; requests and raw streams
// in progress go on for at most graceMs. Then a body or raw stream still
// coming is cut (a raw stream's end reaches onEscposRequest as a receive
// error, with a log line of the bytes it had printed); complete requests
// are still answered. The accept loop returns 0 once every connection has
// ended. Jobs waiting for the printer are the application's to answer.
void serverBeginStop(Server* server, int graceMs);
// Releases the record's mutexes, condition variables and state.
void serverDeInit(Server* server);
// Whether the server's listener is open: the accept loop has bound and
// listens, and has not been stopped.
bool serverIsListening(Server* server);
// Waits at most timeoutMs until the server listens; true once it does, false
// when the time ran out or its accept loop ended without listening.
bool serverWaitUntilListening(Server* server, int timeoutMs);
// Listens on address and serves until stopped (a null server: a private one,
// released at the end). 0 once stopped and drained; 1 when the listener
// cannot be created or bound, or stops working while serving.
int acceptConnectionsUntilStopped(Server* serverOrNULL, const struct sockaddr* address, socklen_t addressLength);
// The same on every IPv4 address and the given port.
int acceptConnectionsUntilStoppedFromEverywhereIPv4(Server* serverOrNULL, uint16_t portInHostOrder);
// Uses this PEM certificate chain and private key for connections that begin
// with a TLS handshake. 0 on success; -1 with a one-line reason in error
// (always NUL-terminated) when they cannot be used (unparseable, key does not
// match). May be called again while the server runs: handshakes from then on
// use the new pair, open connections keep theirs.
int serverSetTLSCredentials(Server* server, const char* certificateChainPem, const char* privateKeyPem, char* error,
                            size_t errorCapacity);
// Lock and unlock the server's mutex; 0 on success.
int serverMutexLock(Server* server);
int serverMutexUnlock(Server* server);

// False once the peer has reset the connection or the socket failed; a peer
// that has only finished sending is still there, waiting for its answer.
bool connectionPeerIsThere(const Connection* connection);

// ---- Provided by the embedding program -------------------------------------

// Called once per complete request on the connection's thread. Returns a new
// response that the module sends and frees, or null when the program has
// answered on the connection itself.
Response* createResponseForRequest(const Request* request, Connection* connection);
// Called for every chunk of a raw stream's job (state 1, 3, 5, ...) and once
// at the job's end with len 0 (peer closed, or the stream paused between
// receipts: its next chunk then begins a new job with state 1) or negative
// (receive error, idle timeout or a stream too slow for a waiting job).
// Returns false when the stream's job takes nothing more: the module then
// ends the connection.
bool onEscposRequest(unsigned int state, const char* data, ssize_t len);
// Whether the raw stream whose job runs on the calling thread stands between
// two receipts by what it has sent so far, so that its job may end while the
// connection stays open.
bool escposStreamIsBetweenReceipts(void);
// Whether another job waits for the printer, so that a raw stream must keep
// its pace; asked often, so it must be cheap.
bool escposJobIsWaitingForPrinter(void);

// ---- Replies to raw streams -------------------------------------------------

// The connection of the raw stream whose onEscposRequest runs on the calling
// thread, null elsewhere; it stays valid until that stream's last call returns.
Connection* connectionOfRawStream(void);
// Sends to a raw stream's client what it takes now, without waiting, from
// any thread while the connection is valid: the count, 0 when it takes
// nothing for now, -1 when it takes no more.
ssize_t connectionSendToRawClient(Connection* connection, const char* data, size_t length);

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
