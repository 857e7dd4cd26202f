// server.cpp: the server's lifecycle, the connection records and counts, the
// accept loop that gives every connection a thread of its own (or hands it to
// one waiting for reuse), parks those over the caps until there is room or
// makes room by displacing a connection that keeps its slot without a
// request, and the limits in force for new connections.
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "internal.h"

bool OptionPrintWholeRequest = false;
bool OptionListDirectoryContents = true;
bool OptionPrintResponse = false;

// Connection threads need little stack; a small one keeps many idle
// connections cheap.
static const size_t CONNECTION_THREAD_STACK_SIZE = 256 * 1024;

ServerLimits serverLimitsDefault(void) {
    ServerLimits limits;
    limits.idleTimeoutMs = 30000;
    limits.requestDeadlineMs = 600000;
    limits.tlsHandshakeDeadlineMs = 10000;
    limits.paceWindowMs = 5000;
    limits.rawStreamMinBytes = 4096;
    limits.rawStreamYieldMs = 30000;
    limits.receiptPauseMs = 200;
    limits.betweenReceiptsIdleMs = 300000;
    limits.maxConnections = 1024;
    limits.maxConnectionsPerPeer = 128;
    limits.displaceAfterMs = 1000;
    limits.maxParkedConnections = 4096;
    limits.connectionsServedAtOnce = 4;
    limits.turnWaitMaxMs = 5;
    limits.bodyMemoryBudget = 2 * REQUEST_MAX_BODY_LENGTH;
    return limits;
}

// Where closing the listener may not end a wait for it, the accept loop
// looks this often whether the server stops.
static const int ACCEPT_STOP_NOTICE_MS = 100;

// Pause before retrying an accept that failed for lack of resources, so
// that the loop does not spin while none are free.
static const unsigned ACCEPT_RETRY_DELAY_US = 50 * 1000;

// One line at most this often for refused connections and failed accepts, so
// that a flood cannot fill the log.
static const int ACCEPT_LOG_INTERVAL_MS = 1000;

// Where the system's descriptor limit is low, at most one connection per
// this many descriptors: the rest stay for the listener, the printer and
// the log.
static const long DESCRIPTORS_PER_CONNECTION_HEADROOM = 2;

// The peer's address bytes; an IPv4 peer seen through an IPv6 listener
// counts as the same peer as over IPv4.
static std::string peerKey(const struct sockaddr_storage* storage) {
    const struct sockaddr* address = (const struct sockaddr*)storage;
    if (address->sa_family == AF_INET) {
        const struct sockaddr_in* ipv4 = (const struct sockaddr_in*)address;
        return std::string((const char*)&ipv4->sin_addr, sizeof(ipv4->sin_addr));
    }
    if (address->sa_family == AF_INET6) {
        const struct sockaddr_in6* ipv6 = (const struct sockaddr_in6*)address;
        const char* bytes = (const char*)&ipv6->sin6_addr;
        static const char V4_MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, (char)0xff, (char)0xff};
        if (0 == memcmp(bytes, V4_MAPPED, sizeof(V4_MAPPED))) {
            return std::string(bytes + 12, 4);
        }
        return std::string(bytes, 16);
    }
    return std::string();
}

void serverInit(Server* server) {
    if (server->initialized) {
        printf("Warning: The server %p was already initialized. Not re-initializing...\n", (void*)server);
        return;
    }
    pthread_mutex_init(&server->globalMutex, NULL);
    pthread_mutex_init(&server->stoppedMutex, NULL);
    pthread_cond_init(&server->stoppedCond, NULL);
    pthread_cond_init(&server->connectionFinishedCond, NULL);
    pthread_mutex_init(&server->connectionFinishedLock, NULL);
    server->activeConnectionCount = 0;
    server->listenerOpen = false;
    server->limits = serverLimitsDefault();
    server->state = new ServerState();
    server->state->accepting = false;
    server->state->displaced = 0;
    server->state->bodyMemory.inUse.store(0);
    server->state->stopGraceEndsAtMs.store(0);
    server->state->busyThreads = 0;
    __atomic_store_n(&server->shouldRun, true, __ATOMIC_SEQ_CST);
    server->initialized = true;
    ignoreSIGPIPE();
    countersInitLockIfNeeded();
}

// Ends the accept loop: no connection is taken from now on.
static void stopAccepting(Server* server) {
    serverMutexLock(server);
    __atomic_store_n(&server->shouldRun, false, __ATOMIC_SEQ_CST);
    if (server->listenerOpen && socketInterruptAccept(server->listenerfd)) {
        server->listenerOpen = false;
    }
    serverMutexUnlock(server);
}

void serverBeginStop(Server* server, int graceMs) {
    if (!server->initialized) {
        printf("Warning: Server %p was never initialized and you tried to stop it. Ignoring...\n", (void*)server);
        return;
    }
    int64_t endsAt = monotonicMilliseconds() + (graceMs > 0 ? graceMs : 0);
    int64_t none = 0;
    if (server->state->stopGraceEndsAtMs.compare_exchange_strong(none, endsAt > 0 ? endsAt : 1)) {
        stopAccepting(server); // the accept loop does the rest once it has ended
    }
}

void serverStop(Server* server) {
    if (!server->initialized) {
        printf("Warning: Server %p was never initialized and you tried to stop it. Ignoring...\n", (void*)server);
        return;
    }
    stopAccepting(server);

    pthread_mutex_lock(&server->stoppedMutex);
    while (!server->stopped) {
        pthread_cond_wait(&server->stoppedCond, &server->stoppedMutex);
    }
    pthread_mutex_unlock(&server->stoppedMutex);
}

void serverDeInit(Server* server) {
    tlsServerRelease(server);
    pthread_mutex_destroy(&server->globalMutex);
    pthread_mutex_destroy(&server->stoppedMutex);
    pthread_cond_destroy(&server->stoppedCond);
    pthread_cond_destroy(&server->connectionFinishedCond);
    pthread_mutex_destroy(&server->connectionFinishedLock);
    delete server->state;
    server->state = NULL;
}

bool serverShouldRun(const Server* server) {
    return __atomic_load_n(&server->shouldRun, __ATOMIC_SEQ_CST);
}

bool serverIsListening(Server* server) {
    serverMutexLock(server);
    bool listening = server->listenerOpen;
    serverMutexUnlock(server);
    return listening;
}

bool serverWaitUntilListening(Server* server, int timeoutMs) {
    int64_t deadline = monotonicMilliseconds() + timeoutMs;
    pthread_mutex_lock(&server->stoppedMutex);
    bool listening = serverIsListening(server);
    while (!listening && !server->stopped) {
        int64_t leftMs = deadline - monotonicMilliseconds();
        if (leftMs <= 0) {
            break;
        }
        condWaitMilliseconds(&server->stoppedCond, &server->stoppedMutex, (int)leftMs);
        listening = serverIsListening(server);
    }
    pthread_mutex_unlock(&server->stoppedMutex);
    return listening;
}

int serverMutexLock(Server* server) {
    return pthread_mutex_lock(&server->globalMutex);
}

int serverMutexUnlock(Server* server) {
    return pthread_mutex_unlock(&server->globalMutex);
}

// A zero-filled connection record belonging to server.
// The two buffers come first and are always written before they are read,
// so they are left as they come: an idle connection then costs only the
// pages it has used.
static_assert(offsetof(Connection, sendRecvBuffer) == 0 &&
                  offsetof(Connection, responseHeader) == sizeof(((Connection*)NULL)->sendRecvBuffer),
              "the connection's buffers lead its record");
static Connection* connectionAlloc(Server* server) {
    ConnectionRecord* record = (ConnectionRecord*)webserverMallocOrDie(sizeof(ConnectionRecord), "a connection");
    Connection* connection = &record->connection;
    const size_t buffers = offsetof(Connection, transport);
    memset((char*)connection + buffers, 0, sizeof(ConnectionRecord) - buffers);
    connection->server = server;
    connection->request.bodyMemory = &server->state->bodyMemory;
    connectionTransportInit(&connection->transport);
    return connection;
}

void connectionFree(Connection* connection) {
    requestFreeBody(&connection->request);
    connectionTransportRelease(&connection->transport);
    free(connection);
}

static void takeFromPeer(ServerState* peers, const std::string& key) {
    std::map<std::string, int>::iterator peer = peers->byAddress.find(key);
    if (peer != peers->byAddress.end() && --peer->second <= 0) {
        peers->byAddress.erase(peer);
    }
}

// Under connectionFinishedLock: counts the connection in, in all and of its peer.
static void countIn(Server* server, Connection* connection, const std::string& key) {
    server->activeConnectionCount++;
    server->state->byAddress[key]++;
    connectionRecordOf(connection)->startedAtMs = monotonicMilliseconds();
    server->state->active.insert(connection);
}

static void startConnectionThread(Connection* connection);

// Under connectionFinishedLock: the connection waiting longest for its
// turn, made busy.
static Connection* takeTurnLocked(ServerState* state) {
    Connection* next = state->waitingTurn.front().connection;
    state->waitingTurn.pop_front();
    state->lastTurnAtMs = monotonicMilliseconds();
    state->busyThreads++;
    connectionRecordOf(next)->busy = true;
    return next;
}

// Under connectionFinishedLock: an admitted connection gets a thread now
// (into `start`) while the busy threads are under their bound; otherwise it
// waits its turn.
static void giveTurnLocked(ServerState* state, Connection* connection, std::vector<Connection*>* start) {
    if (state->busyThreads < state->servedAtOnce) {
        state->busyThreads++;
        connectionRecordOf(connection)->busy = true;
        start->push_back(connection);
    } else {
        TurnWaiter waiter = {connection, monotonicMilliseconds()};
        state->waitingTurn.push_back(waiter);
    }
}

// Under connectionFinishedLock: counts the connection out, gives the room
// it leaves to parked connections and its thread (or, with `next` null, a
// new one) to the connection waiting longest for its turn. The connections
// to start go into `start`.
static void countOutLocked(Connection* connection, std::vector<Connection*>* start, Connection** next) {
    Server* server = connection->server;
    ServerState* peers = server->state;
    ConnectionRecord* record = connectionRecordOf(connection);
    if (record->busy) {
        record->busy = false;
        peers->busyThreads--;
    }
    server->activeConnectionCount--;
    if (peers->accepting) {
        peers->active.erase(connection);
        if (record->waitsFor.load() == ConnectionWaitsForNothingDisplaced) {
            peers->displaced--; // its peer's count was taken back when it was displaced
        } else {
            takeFromPeer(peers, peerKey(&connection->remoteAddr));
        }
        // The room goes to the connection parked longest whose address has room.
        int perPeer = server->limits.maxConnectionsPerPeer;
        for (std::deque<ParkedConnection>::iterator parked = peers->parked.begin();
             parked != peers->parked.end() && server->activeConnectionCount - peers->displaced < peers->cap;) {
            std::map<std::string, int>::iterator fromPeer = peers->byAddress.find(parked->key);
            if (fromPeer != peers->byAddress.end() && fromPeer->second >= perPeer) {
                ++parked;
                continue;
            }
            Connection* unparked = connectionAlloc(server);
            unparked->transport.socket = parked->socketfd;
            unparked->remoteAddr = parked->remoteAddr;
            unparked->remoteAddrLength = parked->remoteAddrLength;
            countIn(server, unparked, parked->key);
            if (--peers->parkedByAddress[parked->key] <= 0) {
                peers->parkedByAddress.erase(parked->key);
            }
            giveTurnLocked(peers, unparked, start);
            parked = peers->parked.erase(parked);
        }
    }
    if (!peers->waitingTurn.empty()) {
        if (NULL != next) {
            *next = takeTurnLocked(peers);
        } else if (peers->busyThreads < peers->servedAtOnce) {
            start->push_back(takeTurnLocked(peers));
        }
    }
    pthread_cond_signal(&server->connectionFinishedCond);
}

void connectionCountOut(Connection* connection) {
    Server* server = connection->server;
    std::vector<Connection*> started;
    pthread_mutex_lock(&server->connectionFinishedLock);
    countOutLocked(connection, &started, NULL);
    pthread_mutex_unlock(&server->connectionFinishedLock);
    for (Connection* next : started) {
        startConnectionThread(next);
    }
}

void connectionStopsBeingBusy(Connection* connection) {
    Server* server = connection->server;
    ServerState* state = server->state;
    Connection* next = NULL;
    pthread_mutex_lock(&server->connectionFinishedLock);
    connectionRecordOf(connection)->busy = false;
    state->busyThreads--;
    if (!state->waitingTurn.empty() && state->busyThreads < state->servedAtOnce) {
        next = takeTurnLocked(state);
    }
    pthread_mutex_unlock(&server->connectionFinishedLock);
    if (NULL != next) {
        startConnectionThread(next);
    }
}

// Finished connection threads wait a short while for the next accepted
// connection instead of exiting at once: starting a thread costs more than
// serving a receipt. Each connection still has a thread to itself while it is
// served. The waiting threads belong to no server, so a server can be
// released while some still wait.
static const int CONNECTION_THREAD_LINGER_MS = 1000;
static const size_t CONNECTION_THREADS_WAITING_MAX = 32;

namespace {

struct WaitingThreads {
    pthread_mutex_t lock;
    ConnectionThreadSlot* top; // a stack: the thread that waited least is woken first
    size_t count;

    WaitingThreads() : top(NULL), count(0) {
        pthread_mutex_init(&lock, NULL);
    }
};

WaitingThreads& waitingThreads() {
    static WaitingThreads threads;
    return threads;
}

void removeWaitingSlot(WaitingThreads& threads, ConnectionThreadSlot* slot) {
    for (ConnectionThreadSlot** link = &threads.top; *link != NULL; link = &(*link)->next) {
        if (*link == slot) {
            *link = slot->next;
            threads.count--;
            return;
        }
    }
}

// Gives the connection to a waiting thread; false when none waits.
bool handToWaitingThread(Connection* connection) {
    WaitingThreads& threads = waitingThreads();
    pthread_mutex_lock(&threads.lock);
    ConnectionThreadSlot* slot = threads.top;
    if (NULL != slot) {
        threads.top = slot->next;
        threads.count--;
        slot->connection = connection;
        threadWakePost(&slot->handedOver);
    }
    pthread_mutex_unlock(&threads.lock);
    return NULL != slot;
}

} // namespace

Connection* connectionThreadWaitForNext(ConnectionThreadSlot* slot) {
    WaitingThreads& threads = waitingThreads();
    pthread_mutex_lock(&threads.lock);
    if (threads.count >= CONNECTION_THREADS_WAITING_MAX) {
        pthread_mutex_unlock(&threads.lock);
        return NULL;
    }
    slot->connection = NULL;
    slot->next = threads.top;
    threads.top = slot;
    threads.count++;
    threadWakeReset(&slot->handedOver);
    pthread_mutex_unlock(&threads.lock);
    if (threadWakeWait(&slot->handedOver, CONNECTION_THREAD_LINGER_MS)) {
        return slot->connection; // posted after it was set: no lock needed
    }
    pthread_mutex_lock(&threads.lock);
    Connection* connection = slot->connection; // a hand-over at the last moment still counts
    if (NULL == connection) {
        removeWaitingSlot(threads, slot);
    }
    pthread_mutex_unlock(&threads.lock);
    return connection;
}

// Whether the connection holds its slot without a request: its head
// incomplete, or its body arriving slower than a raw stream must keep pace.
static bool connectionIsDisplaceable(Connection* connection, int64_t now) {
    const ServerLimits* limits = &connection->server->limits;
    ConnectionRecord* record = connectionRecordOf(connection);
    if (now - record->startedAtMs < limits->displaceAfterMs) {
        return false;
    }
    int waitsFor = record->waitsFor.load();
    if (waitsFor == ConnectionWaitsForHead) {
        return true;
    }
    if (waitsFor != ConnectionWaitsForBody) {
        return false;
    }
    int64_t windowMs = limits->paceWindowMs;
    int64_t bodyMs = now - record->bodyStartedAtMs.load();
    return bodyMs >= windowMs && record->bodyBytesReceived.load() * windowMs < limits->rawStreamMinBytes * bodyMs;
}

// Under connectionFinishedLock: ends the oldest displaceable connection and
// takes it out of the caps at once; false when there is none.
static bool displaceOne(Server* server) {
    ServerState* peers = server->state;
    int64_t now = monotonicMilliseconds();
    for (;;) {
        Connection* oldest = NULL;
        for (Connection* candidate : peers->active) {
            if (connectionIsDisplaceable(candidate, now) &&
                (NULL == oldest ||
                 connectionRecordOf(candidate)->startedAtMs < connectionRecordOf(oldest)->startedAtMs)) {
                oldest = candidate;
            }
        }
        if (NULL == oldest) {
            return false;
        }
        // Its own thread may complete the request at this moment; then it stays.
        std::atomic<int>* oldestWaitsFor = &connectionRecordOf(oldest)->waitsFor;
        int waitsFor = oldestWaitsFor->load();
        if (waitsFor != ConnectionWaitsForHead && waitsFor != ConnectionWaitsForBody) {
            continue;
        }
        if (!oldestWaitsFor->compare_exchange_strong(waitsFor, ConnectionWaitsForNothingDisplaced)) {
            continue;
        }
        peers->displaced++;
        takeFromPeer(peers, peerKey(&oldest->remoteAddr));
        socketShutdownBoth(oldest->transport.socket); // its thread sees the end and counts it out
        return true;
    }
}

enum Admission {
    Admitted, // counted in: start it
    Parked,   // waits for room; the parked list owns the socket
    Refused,  // over every bound: close it
};

// Under connectionFinishedLock: admitConnection's work.
static Admission admitLocked(Server* server, Connection* connection) {
    std::string key = peerKey(&connection->remoteAddr);
    ServerState* peers = server->state;
    Admission admission = Refused;
    std::map<std::string, int>::iterator fromPeer = peers->byAddress.find(key);
    // Behind its address's parked ones, so that they start in arrival order.
    bool peerHasRoom =
        (fromPeer == peers->byAddress.end() || fromPeer->second < server->limits.maxConnectionsPerPeer) &&
        peers->parkedByAddress.count(key) == 0;
    if (peerHasRoom && (server->activeConnectionCount - peers->displaced < peers->cap || displaceOne(server))) {
        countIn(server, connection, key);
        admission = Admitted;
    } else if ((int)peers->parked.size() < peers->parkedCap) {
        ParkedConnection parked = {connection->transport.socket, connection->remoteAddr, connection->remoteAddrLength,
                                   key};
        peers->parked.push_back(parked);
        peers->parkedByAddress[key]++;
        admission = Parked;
    }
    return admission;
}

// Counts the connection in when it is under both caps (displacing one that
// holds its slot without a request when only the total is full) and gives
// it a thread or a place among those waiting their turn; otherwise parks it,
// unless the parked connections are at their bound. The connection to start
// goes into `start`.
static Admission admitConnection(Server* server, Connection* connection, std::vector<Connection*>* start) {
    pthread_mutex_lock(&server->connectionFinishedLock);
    Admission admission = admitLocked(server, connection);
    if (admission == Admitted) {
        giveTurnLocked(server->state, connection, start);
    }
    pthread_mutex_unlock(&server->connectionFinishedLock);
    return admission;
}

// Something that happens often under load, printed at most once per
// ACCEPT_LOG_INTERVAL_MS with how often it happened since the last line.
struct ThrottledLog {
    long count;
    int64_t lastLineAtMs;
    bool printedOnce;
};

// Whether a line is due now for what was counted (count holds the
// occurrences it covers; the caller prints and resets it).
static bool throttledLogDue(ThrottledLog* log) {
    if (log->count == 0) {
        return false;
    }
    int64_t now = monotonicMilliseconds();
    if (log->printedOnce && now - log->lastLineAtMs < ACCEPT_LOG_INTERVAL_MS) {
        return false;
    }
    log->printedOnce = true;
    log->lastLineAtMs = now;
    return true;
}

static void printRefusedIfDue(const Server* server, ThrottledLog* refused) {
    if (throttledLogDue(refused)) {
        printf("Connections refused over the limits (%d at once, %d per peer address, %d waiting): %ld since the "
               "last line\n",
               server->state->cap, server->limits.maxConnectionsPerPeer, server->state->parkedCap, refused->count);
        fflush(stdout);
        refused->count = 0;
    }
}

// The total cap in force: the limits' maxConnections, or less where the
// descriptor limit (raised as far as it goes) leaves no room for it; and the
// parked connections' bound: maxParkedConnections, or what the served ones
// leave of that room.
static int connectionCapForDescriptorLimit(const ServerLimits* limits, int* parkedCap) {
    long descriptors = descriptorLimitRaise();
    int cap = limits->maxConnections;
    *parkedCap = limits->maxParkedConnections;
    if (descriptors > 0 && descriptors / DESCRIPTORS_PER_CONNECTION_HEADROOM < cap) {
        cap = (int)(descriptors / DESCRIPTORS_PER_CONNECTION_HEADROOM);
        printf("The descriptor limit is %ld: serving at most %d connections at once\n", descriptors, cap);
    }
    if (descriptors > 0 && descriptors / DESCRIPTORS_PER_CONNECTION_HEADROOM - cap < *parkedCap) {
        *parkedCap = (int)(descriptors / DESCRIPTORS_PER_CONNECTION_HEADROOM - cap);
    }
    return cap;
}

// Hands an accepted connection, already counted in, to a thread of its own:
// a waiting one, or a new detached one. When no thread can be started the
// connection is closed, freed and counted out here.
static void startConnectionThread(Connection* connection) {
    if (handToWaitingThread(connection)) {
        return;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, CONNECTION_THREAD_STACK_SIZE);
    pthread_t thread;
    int created = pthread_create(&thread, &attributes, connectionHandlerThread, connection);
    pthread_attr_destroy(&attributes);
    if (0 != created) {
        printf("Error while creating thread after accepting new connection! pthread_create returned %d "
               "Continuing...\n",
               created);
        connectionTransportClose(&connection->transport);
        connectionCountOut(connection);
        connectionFree(connection);
        return;
    }
    int detached = pthread_detach(thread);
    if (0 != detached) {
        printf("Error while calling pthread_detach. Oh well - continuing with probably leaked memory. "
               "pthread_detached returned %d\n",
               detached);
    }
}

Connection* connectionCountOutTakingNext(Connection* finished) {
    Server* server = finished->server;
    std::vector<Connection*> started;
    Connection* next = NULL;
    pthread_mutex_lock(&server->connectionFinishedLock);
    countOutLocked(finished, &started, &next);
    pthread_mutex_unlock(&server->connectionFinishedLock);
    for (Connection* connection : started) {
        startConnectionThread(connection);
    }
    return next;
}

// Under connectionFinishedLock: when no connection waiting for its turn got
// one for turnWaitMaxMs, the busy threads are held up (by slow peers or the
// printer), and every waiting one gets a thread of its own (into `start`).
// How long until this is due again; -1 while none waits.
static int startHeldUpLocked(Server* server, std::vector<Connection*>* start, bool all) {
    ServerState* state = server->state;
    if (state->waitingTurn.empty()) {
        return -1;
    }
    int64_t now = monotonicMilliseconds();
    int64_t since = state->waitingTurn.front().sinceMs;
    since = since > state->lastTurnAtMs ? since : state->lastTurnAtMs;
    int64_t leftMs = since + server->limits.turnWaitMaxMs - now;
    if (leftMs > 0 && !all) {
        return (int)leftMs;
    }
    while (!state->waitingTurn.empty()) {
        start->push_back(takeTurnLocked(state));
    }
    return -1;
}

AcceptError acceptErrorKind(int error) {
    switch (error) {
    case EBADF:
    case ENOTSOCK:
    case EINVAL: // what accept reports once the listener has been shut down
        return AcceptErrorListenerGone;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return AcceptErrorShortage;
    default:
        // A reset, an abort, a firewall rule or a network error passed on
        // from one pending connection; the platforms do not agree on which
        // codes such an event takes, so every code not named above is one.
        return AcceptErrorOfOneConnection;
    }
}

// Prints one log line in one write, so that lines of other threads cannot
// come between its parts (an unbuffered stream writes each part of a format).
static void printLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void printLine(const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    fputs(line, stdout);
    fflush(stdout);
}

// Under connectionFinishedLock, in a graceful stop once nothing is accepted
// any more: ends the connections without a complete request head as if
// displaced, lets the rest go on until the grace period ends and then cuts
// the bodies and raw streams still coming. Returns with the lock held.
static void stopGracefully(Server* server, int parkedClosed) {
    ServerState* peers = server->state;
    int idle = 0;
    for (Connection* connection : peers->active) {
        int head = ConnectionWaitsForHead;
        if (connectionRecordOf(connection)
                ->waitsFor.compare_exchange_strong(head, ConnectionWaitsForNothingDisplaced)) {
            peers->displaced++;
            takeFromPeer(peers, peerKey(&connection->remoteAddr));
            socketShutdownBoth(connection->transport.socket); // its thread sees the end and counts it out
            idle++;
        }
    }
    int64_t endsAt = server->state->stopGraceEndsAtMs.load();
    int64_t now = monotonicMilliseconds();
    printLine("Stopping: new connections are refused; closed %d without a request and %d waiting for room; waiting "
              "up to %lld ms for %d in progress\n",
              idle, parkedClosed, (long long)(endsAt > now ? endsAt - now : 0),
              server->activeConnectionCount - peers->displaced);
    while (server->activeConnectionCount > 0 && (now = monotonicMilliseconds()) < endsAt) {
        condWaitMilliseconds(&server->connectionFinishedCond, &server->connectionFinishedLock, (int)(endsAt - now));
    }
    if (server->activeConnectionCount == 0) {
        return;
    }
    int cut = 0;
    for (Connection* connection : peers->active) {
        std::atomic<int>* waits = &connectionRecordOf(connection)->waitsFor;
        int waitsFor = waits->load();
        if ((waitsFor == ConnectionWaitsForBody || waitsFor == ConnectionWaitsForRawBytes) &&
            waits->compare_exchange_strong(waitsFor, ConnectionWaitsForNothingCut)) {
            socketShutdownBoth(connection->transport.socket);
            cut++;
        }
    }
    printLine("The grace period of the stop is over: cut %d bodies and raw streams still coming; waiting for %d "
              "answers\n",
              cut, server->activeConnectionCount - cut);
}

// Lets serverStop return: the loop has ended, or never started.
static void markStopped(Server* server) {
    pthread_mutex_lock(&server->stoppedMutex);
    server->stopped = true;
    pthread_cond_broadcast(&server->stoppedCond);
    pthread_mutex_unlock(&server->stoppedMutex);
}

static int acceptConnectionsUntilStoppedInternal(Server* server, const struct sockaddr* address,
                                                 socklen_t addressLength) {
    WEBSERVER_ASSERT(
        NULL != server &&
        "Why was there no valid server when we got to acceptConnectionsUntilStoppedInternal? We should have something");
    WEBSERVER_ASSERT(server->initialized &&
                     "The server was not initialized. Can you please call serverInit(&server) or pass NULL?");
    callWSAStartupIfNecessary();

    char addressHost[256];
    char addressPort[20];
    int nameResult = getnameinfo(address, addressLength, addressHost, sizeof(addressHost), addressPort,
                                 sizeof(addressPort), NI_NUMERICHOST | NI_NUMERICSERV);
    if (0 != nameResult) {
        printf("Warning: Could not get numeric host name and/or port for the address you passed to "
               "acceptConnectionsUntilStopped. getnameresult returned %d, which is %s. Not a huge deal but i really "
               "should have worked...\n",
               nameResult, gai_strerror(nameResult));
        strcpy(addressHost, "Unknown");
        strcpy(addressPort, "Unknown");
    }

    // Before the listener exists, so that no connection sees the old limit.
    int parkedCap = 0;
    int cap = connectionCapForDescriptorLimit(&server->limits, &parkedCap);

    sockettype listener = socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
    if (SOCKET_INVALID == listener) {
        int error = socketLastError();
        printf("Could not create listener socket: %s = %d\n", strerror(error), error);
        markStopped(server);
        return 1;
    }
    if (0 != socketAllowPortReuse(listener)) {
        int error = socketLastError();
        printf("Failed to setsockopt SO_REUSEADDR = true with %s = %d. Continuing because we might still "
               "succeed...\n",
               strerror(error), error);
    }
    if (address->sa_family == AF_INET6) {
        int zero = 0; // also take IPv4 peers on IPv4-mapped addresses
        if (0 != setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, (const char*)&zero, sizeof(zero))) {
            int error = socketLastError();
            printf("Failed to setsockopt IPV6_V6ONLY = false with %s = %d. This is not supported on BSD/macOS\n",
                   strerror(error), error);
        }
    }
    if (0 != bind(listener, address, addressLength)) {
        int error = socketLastError();
        printf("Could not bind to %s:%s %s = %d\n", addressHost, addressPort, strerror(error), error);
        socketClose(listener);
        markStopped(server);
        return 1;
    }
    if (0 != listen(listener, SOMAXCONN)) {
        int error = socketLastError();
        printf("Could not listen for SOMAXCONN (%d) connections. %s = %d. Continuing because we might still "
               "succeed...\n",
               SOMAXCONN, strerror(error), error);
    }

    serverMutexLock(server);
    server->listenerfd = listener;
    server->listenerOpen = true;
    serverMutexUnlock(server);
    pthread_mutex_lock(&server->stoppedMutex);
    pthread_cond_broadcast(&server->stoppedCond); // for serverWaitUntilListening
    pthread_mutex_unlock(&server->stoppedMutex);

    const struct sockaddr_in* ipv4 = (const struct sockaddr_in*)address;
    if (address->sa_family == AF_INET && ipv4->sin_addr.s_addr == htonl(INADDR_ANY)) {
        printIPv4Addresses(ntohs(ipv4->sin_port));
    } else {
        printf("Listening for connections on %s:%s\n", addressHost, addressPort);
    }
    fflush(stdout);

    ServerState* state = server->state;
    pthread_mutex_lock(&server->connectionFinishedLock);
    state->displaced = 0;
    state->cap = cap;
    state->parkedCap = parkedCap;
    state->bodyMemory.budget = server->limits.bodyMemoryBudget;
    int servedAtOnce = server->limits.connectionsServedAtOnce;
    state->servedAtOnce = servedAtOnce > 0 ? servedAtOnce : INT_MAX;
    state->busyThreads = 0;
    state->lastTurnAtMs = 0;
    state->accepting = true;
    pthread_mutex_unlock(&server->connectionFinishedLock);

    ThrottledLog refusedLog = {0, 0, false};
    ThrottledLog acceptFailedLog = {0, 0, false};

    bool listenerGone = false; // under the loop, not by a stop
    Connection* nextConnection = connectionAlloc(server);
    std::vector<Connection*> start;
    while (serverShouldRun(server)) {
        start.clear();
        pthread_mutex_lock(&server->connectionFinishedLock);
        int waitMs = startHeldUpLocked(server, &start, false);
        pthread_mutex_unlock(&server->connectionFinishedLock);
        for (Connection* connection : start) {
            startConnectionThread(connection);
        }
        // While connections wait their turn, the loop looks again when the
        // next may be held up; only it accepts, so the accept then has a
        // connection to take. Closing the listener may not end that wait.
        if (waitMs >= 0) {
            if (!SOCKET_SHUTDOWN_ENDS_WAITS && waitMs > ACCEPT_STOP_NOTICE_MS) {
                waitMs = ACCEPT_STOP_NOTICE_MS;
            }
            if (0 == socketWaitReadable(listener, waitMs)) {
                continue; // a failed wait leaves its error to the accept
            }
        }
        nextConnection->remoteAddrLength = sizeof(nextConnection->remoteAddr);
        nextConnection->transport.socket =
            accept(listener, (struct sockaddr*)&nextConnection->remoteAddr, &nextConnection->remoteAddrLength);
        if (SOCKET_INVALID == nextConnection->transport.socket) {
            int error = socketLastError();
            if (error == EINTR) {
                printf("accept was interrupted, continuing if server.shouldRun is true...\n");
                continue;
            }
            AcceptError kind = acceptErrorKind(error);
            if (kind == AcceptErrorListenerGone) {
                if (serverShouldRun(server)) {
                    printLine("exiting because the listening socket is gone: accept failed with %s = %d\n",
                              strerror(error), error);
                    listenerGone = true;
                }
                break;
            }
            // The server must outlive a peer that left before it was taken
            // and a moment without descriptors.
            acceptFailedLog.count++;
            if (throttledLogDue(&acceptFailedLog)) {
                printLine("accept failed for now, retrying: %s = %d (%ld times since the last line)\n", strerror(error),
                          error, acceptFailedLog.count);
                acceptFailedLog.count = 0;
            }
            if (kind == AcceptErrorShortage) {
                usleep(ACCEPT_RETRY_DELAY_US);
            }
            continue;
        }
        start.clear();
        Admission admission = admitConnection(server, nextConnection, &start);
        if (admission == Refused) {
            // Over every bound: closed at once, without a thread or a line of its own.
            socketClose(nextConnection->transport.socket);
            nextConnection->transport.socket = SOCKET_INVALID;
            refusedLog.count++;
            printRefusedIfDue(server, &refusedLog);
            continue;
        }
        printRefusedIfDue(server, &refusedLog); // what is left of the last burst
        if (admission == Admitted) {
            for (Connection* connection : start) {
                startConnectionThread(connection);
            }
            nextConnection = connectionAlloc(server);
        } else {
            nextConnection->transport.socket = SOCKET_INVALID; // the parked list has it
        }
    }

    serverMutexLock(server);
    if (server->listenerOpen) {
        socketClose(listener);
        server->listenerOpen = false;
    }
    serverMutexUnlock(server);
    fflush(stdout);

    connectionFree(nextConnection);

    // Parked connections never started: nothing of theirs was read.
    pthread_mutex_lock(&server->connectionFinishedLock);
    std::deque<ParkedConnection> neverStarted;
    neverStarted.swap(state->parked);
    state->parkedByAddress.clear();
    pthread_mutex_unlock(&server->connectionFinishedLock);
    for (const ParkedConnection& parked : neverStarted) {
        socketClose(parked.socketfd);
    }
    // Those waiting their turn were admitted: each gets its thread to end.
    start.clear();
    pthread_mutex_lock(&server->connectionFinishedLock);
    startHeldUpLocked(server, &start, true);
    pthread_mutex_unlock(&server->connectionFinishedLock);
    for (Connection* connection : start) {
        startConnectionThread(connection);
    }

    int64_t stopBeganAtMs = monotonicMilliseconds();
    bool graceful = 0 != server->state->stopGraceEndsAtMs.load();
    pthread_mutex_lock(&server->connectionFinishedLock);
    if (graceful) {
        stopGracefully(server, (int)neverStarted.size());
    }
    while (server->activeConnectionCount > 0) {
        pthread_cond_wait(&server->connectionFinishedCond, &server->connectionFinishedLock);
    }
    state->accepting = false;
    state->active.clear();
    state->byAddress.clear();
    pthread_mutex_unlock(&server->connectionFinishedLock);
    if (graceful) {
        printLine("Stopped: every connection has ended, %lld ms after the stop began\n",
                  (long long)(monotonicMilliseconds() - stopBeganAtMs));
    }

    markStopped(server);
    return listenerGone ? 1 : 0;
}

int acceptConnectionsUntilStopped(Server* serverOrNULL, const struct sockaddr* address, socklen_t addressLength) {
    bool usingOurOwnServer = false;
    Server* server = serverOrNULL;
    if (NULL == server) {
        server = (Server*)webserverCallocOrDie(1, sizeof(Server), "a server");
        serverInit(server);
        usingOurOwnServer = true;
    }
    int result = acceptConnectionsUntilStoppedInternal(server, address, addressLength);
    if (usingOurOwnServer) {
        serverDeInit(server);
        free(server);
    }
    return result;
}

int acceptConnectionsUntilStoppedFromEverywhereIPv4(Server* serverOrNULL, uint16_t portInHostOrder) {
    struct sockaddr_in anyAddress;
    memset(&anyAddress, 0, sizeof(anyAddress));
    anyAddress.sin_family = AF_INET;
    anyAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    anyAddress.sin_port = htons(portInHostOrder);
    return acceptConnectionsUntilStopped(serverOrNULL, (const struct sockaddr*)&anyAddress, 16);
}
