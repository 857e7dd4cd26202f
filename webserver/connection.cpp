// connection.cpp: what happens to one accepted connection on its own
// thread: telling a raw ESC/POS stream from an HTTP request, feeding the
// parser, asking the application for a response, sending it, closing and
// accounting.
#include <stdlib.h>
#include <string.h>

#include "internal.h"

static const unsigned char ESC = 0x1B;
// A real-time status request (DLE EOT n) may open a raw stream too: clients
// that only ask the printer's state send it first, and no HTTP request
// begins with it. GS and FS begin other printer commands.
static const unsigned char DLE = 0x10;
static const unsigned char GS = 0x1D;
static const unsigned char FS = 0x1C;
// What a browser sends first when it was told https:// for this port.
static const unsigned char TLS_HANDSHAKE = 0x16;

// After answering a request whose body was refused unread, the client may
// still be sending it. Closing at once would make the kernel reset the
// connection and the client could lose the answer, so what still comes is
// read and dropped for at most this long after the sending side was shut.
static const int CONNECTION_REFUSED_BODY_DISCARD_MS = 2000;

static bool isTokenByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (NULL != strchr("!#$%&'*+-.^_`|~", c) && c != '\0');
}

// Printable ASCII, tab, CR, LF, or a byte of another code page or UTF-8.
static bool isTextByte(unsigned char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\r' || c == '\n' || c >= 0x80;
}

// What a byte that breaks the request-line pattern makes of the connection:
// text or a printer command is a raw stream ("TOTAL 12.00" and a line feed,
// "Thank you" and ESC d); any other control byte makes a request line that
// is malformed, which is answered, not printed.
static StreamKind kindAtMismatch(unsigned char c) {
    return isTextByte(c) || c == ESC || c == DLE || c == GS || c == FS ? StreamRaw : StreamHTTP;
}

// The kind the next byte gives the connection, the pattern moved on by it.
static StreamKind recognizeByte(StreamRecognizer* r, unsigned char c) {
    static const char VERSION[] = "HTTP/";
    if (r->pendingLength == 0 && r->part == 0 && r->partLength == 0) {
        if (c == ESC || c == DLE || c == GS || c == FS) {
            return StreamRaw;
        }
        if (!isTextByte(c)) {
            return StreamNeither;
        }
    }
    switch (r->part) {
    case 0:
        if (isTokenByte(c)) {
            r->partLength++;
            return StreamUndecided;
        }
        break;
    case 1:
        if (c > 0x20 && c != 0x7F) {
            r->partLength++;
            return StreamUndecided;
        }
        break;
    default:
        if (c == (unsigned char)VERSION[r->partLength]) {
            r->partLength++;
            return r->partLength == sizeof(VERSION) - 1 ? StreamHTTP : StreamUndecided;
        }
        return kindAtMismatch(c);
    }
    if (c == ' ' && r->partLength > 0) {
        r->part++;
        r->partLength = 0;
        return StreamUndecided;
    }
    return kindAtMismatch(c);
}

void streamRecognizerInit(StreamRecognizer* r) {
    r->kind = StreamUndecided;
    r->part = 0;
    r->partLength = 0;
    r->pendingLength = 0;
}

void recognizeReceived(StreamRecognizer* r, const char* bytes, size_t length) {
    for (size_t i = 0; i < length && r->kind == StreamUndecided; i++) {
        r->kind = recognizeByte(r, (unsigned char)bytes[i]);
        if (r->kind == StreamUndecided && r->pendingLength + i + 1 >= RECOGNITION_LIMIT) {
            r->kind = StreamHTTP;
        }
    }
    if (r->kind == StreamUndecided) {
        memcpy(r->pending + r->pendingLength, bytes, length);
        r->pendingLength += length;
    }
}

static int64_t millisecondsSince(int64_t startMs) {
    return monotonicMilliseconds() - startMs;
}

// How a raw stream keeps its pace: bytes and waiting time in the current
// window, waiting time since the last byte, and time since another job
// began to wait for the printer.
struct RawPace {
    int64_t windowWaitedMs;
    int64_t windowBytes;
    int64_t idleWaitedMs;
    int64_t othersWaitedMs;
};

// Counts one receive of a raw stream; false when the stream must end as on
// idle: silent past the idle limit, slower than the minimum pace while
// another job waits for the printer, or holding it for its last yield time
// while one waits.
static bool rawStreamKeepsPace(RawPace* pace, int64_t waitedMs, ssize_t received, const ServerLimits* limits) {
    if (escposJobIsWaitingForPrinter()) {
        pace->othersWaitedMs += waitedMs;
        if (pace->othersWaitedMs >= limits->rawStreamYieldMs) {
            return false;
        }
    } else {
        pace->othersWaitedMs = 0;
    }
    pace->windowWaitedMs += waitedMs;
    if (received > 0) {
        pace->windowBytes += received;
        pace->idleWaitedMs = 0;
    } else {
        pace->idleWaitedMs += waitedMs;
        if (pace->idleWaitedMs >= limits->idleTimeoutMs) {
            return false;
        }
    }
    if (pace->windowWaitedMs < limits->paceWindowMs) {
        return true;
    }
    bool tooSlow = pace->windowBytes < limits->rawStreamMinBytes && escposJobIsWaitingForPrinter();
    pace->windowWaitedMs = 0;
    pace->windowBytes = 0;
    return !tooSlow;
}

// Calls the application's createResponseForRequest.
static Response* createResponseForRequestAutoreleased(const Request* request, Connection* connection) {
    return createResponseForRequest(request, connection);
}

// Sends a response (file or body); 0 when everything was sent.
static int sendResponse(Connection* connection, const Response* response, ssize_t* bytesSent) {
    if (NULL != response->filenameToSend) {
        return sendResponseFile(connection, response, bytesSent);
    }
    return sendResponseBody(connection, response, bytesSent);
}

// A client that asked to be told before it sends a body (as curl does for
// large ones) would otherwise wait a while for an answer that never comes.
static void sendContinueIfExpected(Connection* connection, ssize_t* bytesSent) {
    static const char CONTINUE[] = "HTTP/1.1 100 Continue\r\n\r\n";
    const Header* expect = headerInRequest("Expect", &connection->request);
    if (NULL == expect || NULL == expect->value.contents) {
        return;
    }
    const char* value = expect->value.contents;
    static const char EXPECTED[] = "100-continue";
    for (size_t i = 0; i < sizeof(EXPECTED); i++) {
        if (asciiLower(value[i]) != EXPECTED[i]) {
            return;
        }
    }
    size_t sent = 0;
    connectionSendAll(connection, CONTINUE, sizeof(CONTINUE) - 1, &sent);
    *bytesSent += (ssize_t)sent;
}

static void countConnectionStart(void) {
    if (OptionIncludeStatusPageAndCounters) {
        pthread_mutex_lock(&counters.lock);
        counters.activeConnections++;
        counters.totalConnections++;
        pthread_mutex_unlock(&counters.lock);
    }
}

static void countConnectionEnd(const Connection* connection) {
    if (OptionIncludeStatusPageAndCounters) {
        pthread_mutex_lock(&counters.lock);
        counters.bytesSent += connection->status.bytesSent;
        counters.bytesReceived += connection->status.bytesReceived;
        counters.activeConnections--;
        pthread_mutex_unlock(&counters.lock);
    }
}

// At most this many "No request found" lines a second; past them one line a
// second tells how many were left out, so that a flood of empty connections
// cannot fill the log.
static const int NO_REQUEST_LINES_PER_SECOND = 10;

namespace {

// Under lock: the lines of the current second, and those left out of it.
struct NoRequestLog {
    pthread_mutex_t lock;
    int64_t secondStartedAtMs;
    int linesThisSecond;
    long leftOut;
    bool flooded; // the last second brought more lines than the limit: only the count until a calmer one

    NoRequestLog() : secondStartedAtMs(0), linesThisSecond(0), leftOut(0), flooded(false) {
        pthread_mutex_init(&lock, NULL);
    }
};

NoRequestLog& noRequestLog() {
    static NoRequestLog log;
    return log;
}

} // namespace

// Prints a line about a connection that ended without a request (formatted
// by the caller, one write), within the flood limit above.
static void printClosedWithoutRequest(const char* line) {
    NoRequestLog& log = noRequestLog();
    pthread_mutex_lock(&log.lock);
    int64_t now = monotonicMilliseconds();
    if (now - log.secondStartedAtMs >= 1000) {
        if (log.leftOut > 0) {
            printf("No request found on %ld more connections (lines left out)\n", log.leftOut);
        }
        // Only the count while the last second brought more lines than the
        // limit: judged by the lines that came, not by those left out, so
        // that one dropped line a second cannot keep the log flooded for
        // good; a whole second without a line ends it as well.
        log.flooded =
            log.linesThisSecond + log.leftOut > NO_REQUEST_LINES_PER_SECOND && now - log.secondStartedAtMs < 2000;
        log.secondStartedAtMs = now;
        log.linesThisSecond = 0;
        log.leftOut = 0;
    }
    if (!log.flooded && log.linesThisSecond < NO_REQUEST_LINES_PER_SECOND) {
        log.linesThisSecond++;
        fputs(line, stdout);
    } else {
        log.leftOut++;
    }
    pthread_mutex_unlock(&log.lock);
}

static void printNoRequestFound(const Connection* connection, ssize_t bytesRead) {
    char line[512];
    snprintf(line, sizeof(line),
             "No request found from %s:%s? Closing connection. Here's the last bytes we received in the request "
             "(length %lli). The total bytes received on this connection: %lli :\n",
             connection->remoteHost, connection->remotePort, (long long)bytesRead,
             (long long)connection->status.bytesReceived);
    printClosedWithoutRequest(line);
}

// Answers a complete HTTP request, or reports a connection that ended first.
static void answerHTTP(Connection* connection, bool foundRequest, ssize_t bytesRead) {
    requestPrintWarnings(&connection->request, connection->remoteHost, connection->remotePort);
    ssize_t bytesSent = 0;
    if (foundRequest) {
        Response* response = createResponseForRequestAutoreleased(&connection->request, connection);
        if (NULL != response) {
            sendResponse(connection, response, &bytesSent);
            responseFree(response);
            connection->status.bytesSent = bytesSent;
        } else {
            printf("%s:%s: You have returned a NULL response - I'm assuming you took over the request handling "
                   "yourself.\n",
                   connection->remoteHost, connection->remotePort);
        }
    } else {
        printNoRequestFound(connection, bytesRead);
    }
}

// The raw stream being served on this thread, for the application's replies.
static thread_local Connection* rawStreamOnThisThread = NULL;

Connection* connectionOfRawStream(void) {
    return rawStreamOnThisThread;
}

// Lets the client read an answer it got before it finished sending: the
// sending side is shut, and what still arrives is dropped for a bounded time.
static void discardUnreadBody(Connection* connection) {
    connectionShutdownSending(connection);
    socketSetIOTimeouts(connection->transport.socket, CONNECTION_REFUSED_BODY_DISCARD_MS);
    int64_t deadline = monotonicMilliseconds() + CONNECTION_REFUSED_BODY_DISCARD_MS;
    while (monotonicMilliseconds() < deadline) {
        ssize_t got = connectionReceive(connection, connection->sendRecvBuffer, sizeof(connection->sendRecvBuffer));
        if (got <= 0) {
            break;
        }
    }
}

static Connection* serveConnection(Connection* connection);

// Where a raw stream stands between its receipts.
struct RawReceipts {
    bool betweenReceipts;   // its last job ended at a pause: the next bytes begin a new one
    bool pauseAsked;        // whether this silence was already found not to be between receipts
    int64_t waitingSinceMs; // since when it waits between receipts
};

// Ends the raw stream's job when the stream stands between receipts, leaving
// the connection open; false (the job goes on) otherwise.
static bool endJobBetweenReceipts(Connection* connection, unsigned int state, RawReceipts* receipts) {
    if (!escposStreamIsBetweenReceipts()) {
        return false;
    }
    onEscposRequest(state, connection->sendRecvBuffer, 0);
    receipts->betweenReceipts = true;
    receipts->waitingSinceMs = monotonicMilliseconds();
    return true;
}

// What a raw stream that prints receives at once.
static const size_t RAW_STREAM_BUFFER_SIZE = 64 * 1024;

// A connection waiting between receipts looks this often whether the server stops.
static const int BETWEEN_RECEIPTS_STOP_CHECK_MS = 500;

// From now on the accept loop never displaces the connection (unless it
// already has: then it stays displaced).
static void waitForNothing(Connection* connection, int from) {
    connectionRecordOf(connection)->waitsFor.compare_exchange_strong(from, ConnectionWaitsForNothing);
}

// Before its thread handles bytes it received: while it does, the accept
// loop cannot displace the connection, so a request it completes keeps its
// slot. False when the connection was displaced before: its bytes are then
// dropped, and it never prints nor reaches a route.
static bool holdSlotForReceivedBytes(Connection* connection) {
    std::atomic<int>* waitsFor = &connectionRecordOf(connection)->waitsFor;
    int from = waitsFor->load();
    while (from == ConnectionWaitsForHead || from == ConnectionWaitsForBody) {
        if (waitsFor->compare_exchange_weak(from, ConnectionWaitsForItsThread)) {
            return true;
        }
    }
    return from != ConnectionWaitsForNothingDisplaced;
}

// A displaced (or cut) connection's thread notices within this long where
// shutting its socket down does not end its wait.
static const int DISPLACED_NOTICE_MS = 500;

// Receives into `into` as connectionReceiveWithin does;
// where shutting the socket down does not end a wait, it waits in slices,
// so that a connection displaced meanwhile returns 0 within
// DISPLACED_NOTICE_MS, as if its peer had closed. A sliced wait as long as
// the idle limit ends as the socket's own limit ends a receive (-1, not
// timed out).
static ssize_t receiveUnlessDisplaced(Connection* connection, char* into, size_t capacity, int waitMs, int idleMs,
                                      bool* timedOut) {
    if (connectionIsBusy(connection)) {
        // What has come is taken at once; before it waits for more, the
        // thread lets a connection waiting its turn go first.
        ssize_t received = 0;
        if (NULL == connection->transport.tls &&
            socketReceiveNow(connection->transport.socket, into, capacity, &received)) {
            *timedOut = false;
            return received;
        }
        connectionStopsBeingBusy(connection);
    }
    if (SOCKET_SHUTDOWN_ENDS_WAITS) {
        return connectionReceiveWithin(connection, into, capacity, waitMs, idleMs, timedOut);
    }
    int64_t startMs = monotonicMilliseconds();
    for (;;) {
        int leftMs = waitMs - (int)(monotonicMilliseconds() - startMs);
        int sliceMs = leftMs < DISPLACED_NOTICE_MS ? leftMs : DISPLACED_NOTICE_MS;
        ssize_t received = connectionReceiveWithin(connection, into, capacity, sliceMs, idleMs, timedOut);
        if (!*timedOut) {
            return received;
        }
        int waitsFor = connectionRecordOf(connection)->waitsFor.load();
        if (waitsFor == ConnectionWaitsForNothingDisplaced || waitsFor == ConnectionWaitsForNothingCut) {
            *timedOut = false;
            return 0;
        }
        if (sliceMs >= leftMs) {
            *timedOut = waitMs < idleMs;
            return -1;
        }
    }
}

// Before its thread waits for more bytes of an unfinished request: the
// connection may be displaced again meanwhile.
static void releaseSlotWhileWaiting(Connection* connection) {
    int held = ConnectionWaitsForItsThread;
    int waiting = requestIsReadingBody(&connection->request) ? ConnectionWaitsForBody : ConnectionWaitsForHead;
    connectionRecordOf(connection)->waitsFor.compare_exchange_strong(held, waiting);
}

// Closes the socket once the accept loop can no longer end it: a connection
// it displaced or cut was shut down under the count lock, so taking that
// lock once waits for the shutdown to be done.
static void closeSocket(Connection* connection) {
    waitForNothing(connection, ConnectionWaitsForHead);
    waitForNothing(connection, ConnectionWaitsForBody);
    waitForNothing(connection, ConnectionWaitsForRawBytes);
    int waitsFor = connectionRecordOf(connection)->waitsFor.load();
    if (waitsFor == ConnectionWaitsForNothingDisplaced || waitsFor == ConnectionWaitsForNothingCut) {
        pthread_mutex_lock(&connection->server->connectionFinishedLock);
        pthread_mutex_unlock(&connection->server->connectionFinishedLock);
    }
    connectionTransportClose(&connection->transport);
}

void* connectionHandlerThread(void* connectionPointer) {
    ConnectionThreadSlot slot;
    threadWakeInit(&slot.handedOver);
    for (Connection* connection = (Connection*)connectionPointer; NULL != connection;) {
        Connection* next = serveConnection(connection);
        connection = NULL != next ? next : connectionThreadWaitForNext(&slot);
    }
    threadWakeDestroy(&slot.handedOver);
    return NULL;
}

// Everything that happens to one connection; frees the record at the end.
static Connection* serveConnection(Connection* connection) {
    getnameinfo((const struct sockaddr*)&connection->remoteAddr, connection->remoteAddrLength, connection->remoteHost,
                sizeof(connection->remoteHost), connection->remotePort, sizeof(connection->remotePort),
                NI_NUMERICHOST | NI_NUMERICSERV);
    countConnectionStart();
    // A peer that neither sends nor takes anything for this long is treated
    // as gone, so it cannot hold a thread (or the printer) forever.
    const ServerLimits* limits = &connection->server->limits;
    socketSetIOTimeouts(connection->transport.socket, limits->idleTimeoutMs);

    bool foundRequest = false;
    bool droppedForMemory = false;
    bool continueSent = false;
    ssize_t continueBytes = 0;
    unsigned int foundEscpos = 0;
    ssize_t bytesRead = 0;
    const int idleMs = limits->idleTimeoutMs;
    const int deadlineMs = limits->requestDeadlineMs;
    const int windowMs = limits->paceWindowMs;
    const int pauseMs = limits->receiptPauseMs;
    const int betweenReceiptsIdleMs = limits->betweenReceiptsIdleMs;
    RawReceipts receipts = {false, false, 0};
    // The stream is silent from its last receive on, also while its job
    // waited for the printer and wrote: bytes sent meanwhile wait unread.
    int64_t lastBytesAtMs = 0;
    int64_t firstByteAtMs = 0;
    RawPace pace = {0, 0, 0, 0};
    StreamRecognizer recognizer;
    streamRecognizerInit(&recognizer);
    bool anyByte = false;
    int64_t rawBytesPrinted = 0;
    // A raw stream that has printed receives in larger pieces, each a write
    // to the printer: at a fast stream's pace the calls per byte cost more
    // than the copying. Only streams that have held the printer have one,
    // and without the memory the connection's own buffer does.
    char* into = connection->sendRecvBuffer;
    size_t capacity = sizeof(connection->sendRecvBuffer);
    char* rawBuffer = NULL;
    for (;;) {
        releaseSlotWhileWaiting(connection);
        int waitMs = idleMs;
        if (receipts.betweenReceipts) {
            int64_t leftMs = betweenReceiptsIdleMs - millisecondsSince(receipts.waitingSinceMs);
            waitMs = (int)(leftMs < BETWEEN_RECEIPTS_STOP_CHECK_MS ? leftMs : BETWEEN_RECEIPTS_STOP_CHECK_MS);
            // Shorter than the socket's own limit, so that the wait says it ran out.
            waitMs = waitMs < idleMs ? waitMs : idleMs - 1;
        } else if (foundEscpos & 1) {
            int64_t windowLeftMs = windowMs - pace.windowWaitedMs;
            int64_t idleLeftMs = idleMs - pace.idleWaitedMs;
            int64_t leftMs = windowLeftMs < idleLeftMs ? windowLeftMs : idleLeftMs;
            int64_t pauseLeftMs = pauseMs - millisecondsSince(lastBytesAtMs);
            if (!receipts.pauseAsked && pauseLeftMs < leftMs) {
                leftMs = pauseLeftMs;
            }
            waitMs = (int)leftMs;
        } else if (anyByte) {
            int64_t leftMs = deadlineMs - millisecondsSince(firstByteAtMs);
            if (leftMs <= 0) {
                bytesRead = 0; // too late: as if the peer had closed
                break;
            }
            if (leftMs < waitMs) {
                waitMs = (int)leftMs;
            }
        }
        int64_t waitStartMs = monotonicMilliseconds();
        bool timedOut = false;
        bytesRead = receiveUnlessDisplaced(connection, into, capacity, waitMs, idleMs, &timedOut);
        if (bytesRead > 0 && !holdSlotForReceivedBytes(connection)) {
            bytesRead = 0; // displaced: as if the peer had closed
            break;
        }
        if (bytesRead > 0) {
            lastBytesAtMs = monotonicMilliseconds();
        }
        if ((foundEscpos & 1) && bytesRead <= 0 && !timedOut &&
            connectionRecordOf(connection)->waitsFor.load() == ConnectionWaitsForNothingCut) {
            char line[256]; // one write, as the other threads' lines
            snprintf(line, sizeof(line),
                     "Cut the raw stream from %s:%s at the end of the stop's grace period, after %lld bytes printed\n",
                     connection->remoteHost, connection->remotePort, (long long)rawBytesPrinted);
            fputs(line, stdout);
            bytesRead = -1; // its job ends as on a receive error
        }
        if (receipts.betweenReceipts) {
            if (timedOut && serverShouldRun(connection->server) &&
                millisecondsSince(receipts.waitingSinceMs) < betweenReceiptsIdleMs) {
                continue;
            }
            if (timedOut && serverShouldRun(connection->server)) {
                char line[256];
                snprintf(line, sizeof(line),
                         "Closing the raw connection from %s:%s: nothing came for %d s between receipts\n",
                         connection->remoteHost, connection->remotePort, betweenReceiptsIdleMs / 1000);
                fputs(line, stdout);
            }
            if (bytesRead <= 0) {
                break; // no job to end
            }
            // A new receipt: a job of its own, in line for the printer.
            receipts.betweenReceipts = false;
            receipts.pauseAsked = false;
            foundEscpos = 1;
            pace = RawPace{0, 0, 0, 0};
        } else if (foundEscpos & 1) {
            // Between receipts the printer can go to another job without
            // ending the connection, where the pace rule would end it.
            if ((bytesRead > 0 || timedOut) &&
                !rawStreamKeepsPace(&pace, millisecondsSince(waitStartMs), bytesRead, limits)) {
                if (!endJobBetweenReceipts(connection, foundEscpos, &receipts)) {
                    onEscposRequest(foundEscpos, connection->sendRecvBuffer, -1);
                    break;
                }
                if (timedOut) {
                    continue;
                }
                receipts.betweenReceipts = false; // what came begins the next job, behind the waiting one
                foundEscpos = 1;
                pace = RawPace{0, 0, 0, 0};
            } else if (timedOut) {
                if (!receipts.pauseAsked && millisecondsSince(lastBytesAtMs) >= pauseMs) {
                    receipts.pauseAsked = !endJobBetweenReceipts(connection, foundEscpos, &receipts);
                }
                continue;
            }
            receipts.pauseAsked = false;
        } else if (timedOut) {
            continue; // the deadline is checked above
        }
        if (recognizer.kind == StreamUndecided) {
            if (bytesRead > 0) {
                if (!anyByte) {
                    anyByte = true;
                    firstByteAtMs = monotonicMilliseconds();
                }
                recognizeReceived(&recognizer, connection->sendRecvBuffer, (size_t)bytesRead);
            }
            if (recognizer.kind == StreamNeither && NULL == connection->transport.tls &&
                (unsigned char)connection->sendRecvBuffer[0] == TLS_HANDSHAKE &&
                tlsServerHasCredentials(connection->server)) {
                char reason[160];
                // A handshake that takes its time may be displaced, as a slow head may.
                releaseSlotWhileWaiting(connection);
                if (connectionIsBusy(connection)) {
                    connectionStopsBeingBusy(connection); // a handshake waits for its peer
                }
                if (!connectionStartTLS(connection, connection->sendRecvBuffer, (size_t)bytesRead,
                                        limits->tlsHandshakeDeadlineMs, idleMs, reason, sizeof(reason))) {
                    char line[512];
                    snprintf(line, sizeof(line),
                             "Closing the connection from %s:%s without printing: its TLS handshake failed: %s\n",
                             connection->remoteHost, connection->remotePort, reason);
                    printClosedWithoutRequest(line);
                    break;
                }
                // The decrypted bytes are told apart as a plain connection's are.
                recognizer.kind = StreamUndecided;
                anyByte = false;
                continue;
            }
            if (recognizer.kind == StreamNeither) {
                unsigned char first = (unsigned char)connection->sendRecvBuffer[0];
                char line[512];
                snprintf(line, sizeof(line),
                         "Closing the connection from %s:%s without printing: its first byte 0x%02X begins neither "
                         "an HTTP request nor a raw print stream%s\n",
                         connection->remoteHost, connection->remotePort, first,
                         first == TLS_HANDSHAKE ? " (a TLS handshake: this port speaks http://, not https://)" : "");
                printClosedWithoutRequest(line);
                break;
            }
            if (recognizer.kind == StreamRaw) {
                foundEscpos |= 1;
                int held = ConnectionWaitsForItsThread; // never displaced, but cut at the end of a stop
                connectionRecordOf(connection)->waitsFor.compare_exchange_strong(held, ConnectionWaitsForRawBytes);
            }
            if (recognizer.kind == StreamUndecided && bytesRead > 0) {
                continue;
            }
        }
        if (bytesRead <= 0 && foundEscpos == 0) {
            break;
        }
        if ((foundEscpos & 1) && recognizer.pendingLength > 0) {
            // The text received before the stream was told from HTTP goes first.
            rawStreamOnThisThread = connection;
            bool goesOn = onEscposRequest(foundEscpos, recognizer.pending, (ssize_t)recognizer.pendingLength);
            rawBytesPrinted += goesOn ? (int64_t)recognizer.pendingLength : 0;
            recognizer.pendingLength = 0;
            if (!goesOn) {
                onEscposRequest(foundEscpos + 2, connection->sendRecvBuffer, -1);
                break;
            }
            foundEscpos += 2;
        }
        if (foundEscpos & 1) {
            rawStreamOnThisThread = connection;
            bool goesOn = onEscposRequest(foundEscpos, into, bytesRead);
            rawBytesPrinted += goesOn && bytesRead > 0 ? bytesRead : 0;
            if (bytesRead <= 0) {
                rawStreamOnThisThread = NULL;
                break;
            }
            if (!goesOn) {
                onEscposRequest(foundEscpos + 2, connection->sendRecvBuffer, -1);
                break;
            }
            if (NULL == rawBuffer && NULL != (rawBuffer = (char*)malloc(RAW_STREAM_BUFFER_SIZE))) {
                into = rawBuffer;
                capacity = RAW_STREAM_BUFFER_SIZE;
            }
            foundEscpos += 2;
            continue;
        }
        if (recognizer.pendingLength > 0) {
            // The start of the request line, received before it was told from a raw stream.
            if (OptionPrintWholeRequest) {
                fwrite(recognizer.pending, 1, recognizer.pendingLength, stdout);
            }
            connection->status.bytesReceived += (int64_t)recognizer.pendingLength;
            requestParse(&connection->request, recognizer.pending, recognizer.pendingLength);
            recognizer.pendingLength = 0;
        }
        if (OptionPrintWholeRequest) {
            fwrite(connection->sendRecvBuffer, 1, (size_t)bytesRead, stdout);
        }
        connection->status.bytesReceived += bytesRead;
        requestParse(&connection->request, connection->sendRecvBuffer, (size_t)bytesRead);
        ConnectionRecord* record = connectionRecordOf(connection);
        if (continueSent) {
            record->bodyBytesReceived.fetch_add(bytesRead);
        }
        if (connection->request.bodyStatus == RequestBodyStatusNoMemory) {
            printf("Dropping the connection from %s:%s: no memory for its request body of %zu bytes\n",
                   connection->remoteHost, connection->remotePort, connection->request.bodyExpected);
            droppedForMemory = true;
            break;
        }
        if (connection->request.state == RequestParseStateDone) {
            foundRequest = true;
            break;
        }
        // A refused body completes the request at its head, so it never gets here.
        if (!continueSent && requestIsReadingBody(&connection->request)) {
            continueSent = true;
            record->bodyStartedAtMs.store(monotonicMilliseconds()); // before it waits for its body
            sendContinueIfExpected(connection, &continueBytes);
        }
    }
    rawStreamOnThisThread = NULL;
    free(rawBuffer);
    if (foundRequest) {
        waitForNothing(connection, ConnectionWaitsForItsThread);
    }
    if (recognizer.kind == StreamUndecided) {
        connection->status.bytesReceived += (int64_t)recognizer.pendingLength; // a request line never finished
    }
    if (foundEscpos == 0 && !droppedForMemory && recognizer.kind != StreamNeither) {
        answerHTTP(connection, foundRequest, bytesRead);
        // The body's memory goes back before the client can see its answer
        // end, so that its next job finds the budget as this one left it.
        requestFreeBody(&connection->request);
        connection->status.bytesSent += continueBytes;
        if (foundRequest && requestBodyRefused(&connection->request) && connection->request.bodyDeclared) {
            discardUnreadBody(connection);
        }
    }
    fflush(stdout);

    closeSocket(connection);
    countConnectionEnd(connection);
    Connection* next = connectionCountOutTakingNext(connection);
    connectionFree(connection);
    return next;
}
