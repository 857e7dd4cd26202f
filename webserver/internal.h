// internal.h: what the server module's files share with each other (and
// with its tests) but not with embedding programs.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <type_traits>

#include "webserver.h"

// ---- Invariants -------------------------------------------------------------

// An assertion that ends the process in every build type: the invariants it
// guards are what keeps memory safe, so a release build must not skip them.
#define WEBSERVER_ASSERT(condition)                                                                                    \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__, __func__, #condition);          \
            fflush(stderr);                                                                                            \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

// The same with a text that says why, printed as one literal (as if written
// `condition && "text"`) however the formatter splits it in the source.
#define WEBSERVER_ASSERT_TEXT(condition, text)                                                                         \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: %s: Assertion `%s && \"%s\"' failed.\n", __FILE__, __LINE__, __func__, #condition, \
                    text);                                                                                             \
            fflush(stderr);                                                                                            \
            abort();                                                                                                   \
        }                                                                                                              \
    } while (0)

// ---- Allocation -------------------------------------------------------------

// calloc/strdup that never return null: on failure they print one
// line naming `what` and abort.
void* webserverCallocOrDie(size_t count, size_t size, const char* what);
// The same without zeroing the block.
void* webserverMallocOrDie(size_t size, const char* what);
char* webserverStrdupOrDie(const char* text, const char* what);

// ---- Statistics ---------------------------------------------------------------

struct Counters {
    bool lockInitialized;
    pthread_mutex_t lock;
    int64_t bytesReceived;
    int64_t bytesSent;
    int64_t totalConnections;
    int64_t activeConnections;
    int64_t heapStringAllocations;
    int64_t heapStringReallocations;
    int64_t heapStringFrees;
    int64_t heapStringTotalBytesReallocated;
};

extern Counters counters;

// Initialises counters.lock once per process.
void countersInitLockIfNeeded(void);

// ---- Heap and pool strings ----------------------------------------------------

// Whether the record keeps its invariants as a C string (terminated inside
// its block, length below capacity, nothing without a block); prints the
// first rule broken.
bool heapStringIsSaneCString(const HeapString* heapString);
// Starts a new string in the request's pool (null contents once the pool is full).
void poolStringStartNewString(PoolString* poolString, Request* request);
// Appends a byte to the string started last, or drops it once the pool is full.
void poolStringAppendChar(Request* request, PoolString* string, char c);
// A heap copy, or null for null.
char* strdupIfNotNull(const char* strToDup);

// ---- Request parsing ----------------------------------------------------------

// Feeds received bytes to the request; splitting a stream differently never
// changes the result.
void requestParse(Request* request, const char* requestFragment, size_t requestFragmentLength);

enum URLDecodeType : uint32_t {
    URLDecodeTypeWholeURL = 0,
    URLDecodeTypeParameter = 1, // also stops at the first '&'
};

// Decodes %xx escapes and '+' into decoded (always NUL-terminated); false when
// the room ran out. decodedLength (may be null) receives the bytes written.
bool URLDecode(const char* encoded, char* decoded, size_t decodedCapacity, size_t* decodedLength, URLDecodeType type);
// Body memory that requests hold: what they hold now, and the budget they
// share (a server's limits.bodyMemoryBudget, copied when it starts).
struct BodyMemory {
    std::atomic<size_t> inUse;
    size_t budget;
};
// Releases the body block and its share of the body memory budget; a second
// call does nothing. Every owner of a Request calls it once it is done.
void requestFreeBody(Request* request);
// The pool of requests whose bodyMemory is null, with the default budget.
BodyMemory* requestDefaultBodyMemory(void);
// Whether the parser is inside a body (with a length or chunked).
bool requestIsReadingBody(const Request* request);
// Prints one line per truncation flag of the request.
void requestPrintWarnings(const Request* request, const char* remoteHost, const char* remotePort);

// ---- Responses ----------------------------------------------------------------

// Formats the response head; returns its full length even when it did not fit.
int snprintfResponseHeader(char* destination, size_t destinationCapacity, int code, const char* status,
                           const char* contentType, const char* extraHeaders, size_t contentLength);
// What became of a response head.
enum HeadOutcome {
    HeadSent,          // whole; the body may follow
    HeadReplacedBy500, // too long for its buffer: a 500 answer went out instead, and nothing may follow
    HeadSendFailed,    // a send failed (after the message); nothing may follow
};
// Formats the head of `response` with the given type and length into the
// connection's head buffer and sends it whole. The one place that answers a
// head too long for the buffer, for every kind of response.
HeadOutcome sendResponseHead(Connection* connection, const Response* response, const char* contentType,
                             uint64_t contentLength, ssize_t* bytesSent);
// Sends the head and the in-memory body; 0 on success, -1 on failure.
int sendResponseBody(Connection* connection, const Response* response, ssize_t* bytesSent);

// ---- Telling a connection's kind from its first bytes ----------------------------

// A connection that begins with text is undecided while its bytes still
// match "METHOD SP TARGET SP HTTP/"; a request line that matches for longer
// than the parser could store it is HTTP (and answered as too long).
static const size_t RECOGNITION_LIMIT = REQUEST_METHOD_CAPACITY + 1 + REQUEST_PATH_CAPACITY + 1 + 5;

// What a connection's first bytes make of it.
enum StreamKind {
    StreamUndecided,
    StreamHTTP,
    StreamRaw,     // every byte from the first goes to the printer
    StreamNeither, // closed without printing
};

// The request-line pattern matched so far, and the bytes kept until the
// connection is decided.
struct StreamRecognizer {
    StreamKind kind;
    int part; // 0: the method, 1: the target, 2: "HTTP/"
    size_t partLength;
    size_t pendingLength;
    char pending[RECOGNITION_LIMIT];
};

// Makes the recognizer undecided, with nothing kept.
void streamRecognizerInit(StreamRecognizer* r);
// Decides the connection by the bytes received so far, at the first byte
// that settles it. Received bytes that leave it undecided are kept (they
// always fit: it is decided before RECOGNITION_LIMIT bytes).
void recognizeReceived(StreamRecognizer* r, const char* bytes, size_t length);

// ---- Moving a connection's bytes (transport.cpp) -------------------------------

// An empty record: no socket, no session, the send lock ready.
void connectionTransportInit(ConnectionTransport* transport);
// Releases the send lock; the socket is closed already (or never was open).
void connectionTransportRelease(ConnectionTransport* transport);
// Ends the TLS session, if any (telling the peer), and closes the socket; the
// record then holds neither.
void connectionTransportClose(ConnectionTransport* transport);
// One receive of at most `capacity` bytes (decrypted on a TLS connection),
// as recv returns it (a signal never cuts it short): bytes, 0 at the peer's
// end, -1 on failure or when the socket's idle limit ran out.
ssize_t connectionReceive(Connection* connection, char* into, size_t capacity);
// One receive of the connection's bytes (decrypted on a TLS connection),
// waiting at most timeoutMs for the first one. The idle limit already bounds
// every receive, so a wait that long needs no extra call. *timedOut (and -1)
// when nothing came in time.
ssize_t connectionReceiveWithin(Connection* connection, char* into, size_t capacity, int timeoutMs, int idleMs,
                                bool* timedOut);
// Sends all `length` bytes under the send lock, continuing short sends;
// false when a send fails, whose result then goes to *failedSendResult (may
// be null) and whose error socketLastError still reports.
bool connectionSendAll(Connection* connection, const char* data, size_t length, size_t* sent,
                       ssize_t* failedSendResult = NULL);
// One recv or send on a client's socket, repeated when a signal cut it short;
// as the system returns it. Only for the TLS session's own record layer.
ssize_t transportSocketReceive(sockettype socket, char* into, size_t capacity);
ssize_t transportSocketSend(sockettype socket, const char* data, size_t length);
// Ends the sending side: the peer reads the end of the answer (after a TLS
// close-notify on an encrypted connection).
void connectionShutdownSending(Connection* connection);
// Serves the connection over TLS from now on: the handshake, with
// `received` (what came before the connection was known to be TLS) as its
// first bytes. False, with the reason, when it failed; the connection stays
// plain and should be closed.
bool connectionStartTLS(Connection* connection, const char* received, size_t receivedLength, int deadlineMs, int idleMs,
                        char* reason, size_t reasonCapacity);

// ---- Connections --------------------------------------------------------------

// What the module keeps of a connection besides its public record: for the
// accept loop choosing one to displace, when it was started, what it waits
// for (set by its own thread), and how its body arrives. Every Connection
// the module makes is the first member of one of these.
struct ConnectionRecord {
    Connection connection;
    int64_t startedAtMs;
    std::atomic<int> waitsFor; // a ConnectionWait
    std::atomic<int64_t> bodyStartedAtMs;
    std::atomic<int64_t> bodyBytesReceived;
    bool busy; // counted in its server's busyThreads (changed under connectionFinishedLock)
};

// The record around a connection the module made: a standard-layout record
// begins at its first member.
static_assert(std::is_standard_layout<ConnectionRecord>::value, "a Connection* must point at its record");
inline ConnectionRecord* connectionRecordOf(Connection* connection) {
    return reinterpret_cast<ConnectionRecord*>(connection);
}

// What a connection waits for, as the accept loop sees it.
enum ConnectionWait {
    ConnectionWaitsForHead = 0,             // its request head is incomplete
    ConnectionWaitsForBody = 1,             // its body is arriving
    ConnectionWaitsForNothing = 2,          // a complete request or a job: never displaced
    ConnectionWaitsForNothingDisplaced = 3, // displaced: its slot went to another connection
    ConnectionWaitsForRawBytes = 4,         // a raw stream: never displaced
    ConnectionWaitsForNothingCut = 5,       // a body or raw stream still coming when a stop's grace period ended
    ConnectionWaitsForItsThread = 6,        // its thread handles bytes it received: not displaced meanwhile
};

// A connection over a cap, waiting for room: no thread, nothing read.
struct ParkedConnection {
    sockettype socketfd;
    struct sockaddr_storage remoteAddr;
    socklen_t remoteAddrLength;
    std::string key;
};

// The server's own state. The counts and the parked list are under
// connectionFinishedLock and in use while an accept loop runs: open
// connections per peer address (the port left out), so that one host cannot
// take every connection, and the connections waiting for room.
struct TurnWaiter {
    Connection* connection;
    int64_t sinceMs;
};

struct ServerState {
    bool accepting;
    std::map<std::string, int> byAddress;
    std::set<Connection*> active;        // counted in and not yet out
    int displaced;                       // of active: out of the caps, still ending
    std::deque<ParkedConnection> parked; // in arrival order
    std::map<std::string, int> parkedByAddress;
    int cap;       // the total cap in force
    int parkedCap; // parked connections at most
    BodyMemory bodyMemory;
    // When the grace period of a graceful stop ends, on the monotonic clock;
    // 0 while none has begun.
    std::atomic<int64_t> stopGraceEndsAtMs;
    // Threads serving a connection that has not waited for its peer yet, and
    // the admitted connections waiting for one of them (in arrival order;
    // only while busyThreads is at connectionsServedAtOnce).
    int busyThreads;
    std::deque<TurnWaiter> waitingTurn;
    int64_t lastTurnAtMs; // when a waiting connection last got a thread
    int servedAtOnce;     // busy threads at most: connectionsServedAtOnce, or no bound
};

// Counts the finished connection out and hands its thread the connection
// waiting longest for its turn; null when none waits (the thread then waits
// to be handed one).
Connection* connectionCountOutTakingNext(Connection* finished);

// Before the connection's thread first waits for its peer: it no longer
// counts as busy, and the connection waiting longest gets its turn.
void connectionStopsBeingBusy(Connection* connection);
inline bool connectionIsBusy(Connection* connection) {
    return connectionRecordOf(connection)->busy; // only its own thread clears it
}

// Frees the request body and the record; does not close the socket.
void connectionFree(Connection* connection);
// The thread of one accepted connection; owns and frees the record, then
// serves further connections handed to it while it waits.
void* connectionHandlerThread(void* connectionPointer);

// A connection thread waiting for its next connection.
struct ConnectionThreadSlot {
    ThreadWake handedOver;
    Connection* connection; // set by the accept loop, under the waiting threads' lock, before it posts
    ConnectionThreadSlot* next;
};

// Waits a short while for the accept loop to hand over a connection; null
// when none came (or enough threads wait already): the thread then ends.
Connection* connectionThreadWaitForNext(ConnectionThreadSlot* slot);

// What a failed accept (its errno value) means for the accept loop. Only a
// listener that is closed or invalid ends it; anything else is taken for an
// error of one pending connection, which no client may turn into the end of
// the server.
enum AcceptError {
    AcceptErrorOfOneConnection, // that connection is lost: accept again at once
    AcceptErrorShortage,        // descriptors, buffers or memory short for now: accept again after a pause
    AcceptErrorListenerGone,    // the listening socket is closed or invalid: the loop ends
};
AcceptError acceptErrorKind(int error);

// Takes the connection back from the server's counts (in all and of its peer)
// and signals the drain.
void connectionCountOut(Connection* connection);

// Reads the server's run flag, which serverStop clears from another thread.
bool serverShouldRun(const Server* server);

// ---- TLS (tls.cpp) ----------------------------------------------------------------

// Whether serverSetTLSCredentials has given the server a pair to serve.
bool tlsServerHasCredentials(Server* server);
// Releases the server's TLS state (serverDeInit); every session has ended.
void tlsServerRelease(Server* server);
// Runs the server side of a handshake on `socket`, whose first `receivedLength`
// bytes were already received into `received`, with the current credentials,
// within deadlineMs; afterwards the socket's receive and send limit is idleMs
// again. The session, or null with a one-line reason why it failed.
TLSSession* tlsSessionAccept(Server* server, sockettype socket, const char* received, size_t receivedLength,
                             int deadlineMs, int idleMs, char* reason, size_t reasonCapacity);
// Receives decrypted bytes, waiting at most timeoutMs when that is below
// idleMs (bytes the session already holds count as readable). >0 bytes, 0 at
// the peer's end (close-notify or not), -1 on failure, and -1 with *timedOut
// when nothing came in time.
ssize_t tlsSessionReceiveWithin(TLSSession* session, char* into, size_t capacity, int timeoutMs, int idleMs,
                                bool* timedOut);
// One receive of decrypted bytes, bounded by the socket's own limit alone;
// the same results.
ssize_t tlsSessionReceive(TLSSession* session, char* into, size_t capacity);
// Sends all bytes; false when the peer does not take them. Safe beside a
// receive on another thread.
bool tlsSessionSendAll(TLSSession* session, const char* data, size_t length, size_t* sent);
// Tells the peer that nothing more comes (once; before the socket's sending side is shut).
void tlsSessionCloseNotify(TLSSession* session);
// Ends the session (null: nothing); the socket stays open.
void tlsSessionFree(TLSSession* session);

// ---- The log ----------------------------------------------------------------------

// Appends bytes received from a peer for a log line: printable ASCII as it
// is, a backslash as \\, every other byte as \xNN.
void logAppendEscaped(HeapString* line, const char* bytes, size_t length);
// The same into a fixed buffer, cut to fit; returns out. Room for a whole
// request path escaped:
static const size_t LOG_ESCAPED_PATH_CAPACITY = 4 * REQUEST_PATH_CAPACITY + 1;
const char* logEscapeInto(const char* bytes, size_t length, char* out, size_t capacity);

// ---- Files ----------------------------------------------------------------------

// Sends a file response: head, then the file through the connection's buffer.
// 0 when everything was sent.
int sendResponseFile(Connection* connection, const Response* response, ssize_t* bytesSent);
