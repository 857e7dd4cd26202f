// server.cpp: the server's lifecycle, the connection records and counts, the
// accept loop that gives every connection a thread of its own (or hands it to
// one waiting for reuse), and the limits in force for new connections.
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>

#include "internal.h"

bool OptionPrintWholeRequest = false;
bool OptionListDirectoryContents = true;
bool OptionPrintResponse = false;

// Connection threads need little stack; a small one keeps many idle
// connections cheap.
static const size_t CONNECTION_THREAD_STACK_SIZE = 256 * 1024;

// Pause before retrying an accept that failed for lack of resources.
static const unsigned ACCEPT_RETRY_DELAY_US = 50 * 1000;

// One line at most this often for refused connections and failed accepts, so
// that a flood cannot fill the log.
static const int ACCEPT_LOG_INTERVAL_MS = 1000;

// Where the system's descriptor limit is low, at most one connection per
// this many descriptors: the rest stay for the listener, the printer and
// the log.
static const long DESCRIPTORS_PER_CONNECTION_HEADROOM = 2;

static std::atomic<int> idleTimeoutMilliseconds{CONNECTION_IDLE_TIMEOUT_MS};
static std::atomic<int> requestDeadlineMilliseconds{CONNECTION_REQUEST_DEADLINE_MS};
static std::atomic<int> paceWindowMilliseconds{RAW_STREAM_PACE_WINDOW_MS};
static std::atomic<int> maxConnections{SERVER_MAX_CONNECTIONS};
static std::atomic<int> maxConnectionsPerPeer{SERVER_MAX_CONNECTIONS_PER_PEER};

void serverSetIdleTimeoutForTesting(int milliseconds) {
    idleTimeoutMilliseconds.store(milliseconds);
}

int serverIdleTimeoutMilliseconds(void) {
    return idleTimeoutMilliseconds.load();
}

void serverSetRequestDeadlineForTesting(int milliseconds) {
    requestDeadlineMilliseconds.store(milliseconds);
}

int serverRequestDeadlineMilliseconds(void) {
    return requestDeadlineMilliseconds.load();
}

void serverSetPaceWindowForTesting(int milliseconds) {
    paceWindowMilliseconds.store(milliseconds);
}

int serverPaceWindowMilliseconds(void) {
    return paceWindowMilliseconds.load();
}

void serverSetMaxConnectionsForTesting(int connections) {
    maxConnections.store(connections);
}

void serverSetMaxConnectionsPerPeerForTesting(int connections) {
    maxConnectionsPerPeer.store(connections);
}

// Open connections per peer address (the port left out), so that one host
// cannot take every connection.
struct PeerCounts {
    std::map<std::string, int> byAddress;
};

// The peer's address bytes; an IPv4 peer seen through an IPv6 listener
// counts as the same peer as over IPv4.
static std::string peerKey(const Connection* connection) {
    const struct sockaddr* address = (const struct sockaddr*)&connection->remoteAddr;
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
    server->peers = NULL;
    server->shouldRun.store(true);
    server->initialized = true;
    ignoreSIGPIPE();
    countersInitLockIfNeeded();
}

void serverStop(Server* server) {
    if (!server->initialized) {
        printf("Warning: Server %p was never initialized and you tried to stop it. Ignoring...\n", (void*)server);
        return;
    }
    serverMutexLock(server);
    server->shouldRun.store(false);
    if (server->listenerOpen && socketInterruptAccept(server->listenerfd)) {
        server->listenerOpen = false;
    }
    serverMutexUnlock(server);

    pthread_mutex_lock(&server->stoppedMutex);
    while (!server->stopped) {
        pthread_cond_wait(&server->stoppedCond, &server->stoppedMutex);
    }
    pthread_mutex_unlock(&server->stoppedMutex);
}

void serverDeInit(Server* server) {
    pthread_mutex_destroy(&server->globalMutex);
    pthread_mutex_destroy(&server->stoppedMutex);
    pthread_cond_destroy(&server->stoppedCond);
    pthread_cond_destroy(&server->connectionFinishedCond);
    pthread_mutex_destroy(&server->connectionFinishedLock);
}

int serverMutexLock(Server* server) {
    return pthread_mutex_lock(&server->globalMutex);
}

int serverMutexUnlock(Server* server) {
    return pthread_mutex_unlock(&server->globalMutex);
}

// A zero-filled connection record belonging to server.
static Connection* connectionAlloc(Server* server) {
    Connection* connection = (Connection*)webserverCallocOrDie(1, sizeof(Connection), "a connection");
    connection->server = server;
    connection->socketfd = SOCKET_INVALID;
    return connection;
}

void connectionFree(Connection* connection) {
    requestFreeBody(&connection->request);
    free(connection);
}

void connectionCountOut(Connection* connection) {
    Server* server = connection->server;
    pthread_mutex_lock(&server->connectionFinishedLock);
    server->activeConnectionCount--;
    if (NULL != server->peers) {
        std::map<std::string, int>::iterator peer = server->peers->byAddress.find(peerKey(connection));
        if (peer != server->peers->byAddress.end() && --peer->second <= 0) {
            server->peers->byAddress.erase(peer);
        }
    }
    pthread_cond_signal(&server->connectionFinishedCond);
    pthread_mutex_unlock(&server->connectionFinishedLock);
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
        pthread_cond_signal(&slot->handedOver);
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
    bool timedOut = false;
    while (NULL == slot->connection && !timedOut) {
        timedOut = condWaitMilliseconds(&slot->handedOver, &threads.lock, CONNECTION_THREAD_LINGER_MS);
    }
    Connection* connection = slot->connection;
    if (NULL == connection) {
        removeWaitingSlot(threads, slot);
    }
    pthread_mutex_unlock(&threads.lock);
    return connection;
}

// Counts the connection in when it is under both caps; false (nothing
// counted) when it is over one of them.
static bool admitConnection(Server* server, Connection* connection, int cap) {
    std::string key = peerKey(connection);
    pthread_mutex_lock(&server->connectionFinishedLock);
    int& fromPeer = server->peers->byAddress[key];
    bool admitted = server->activeConnectionCount < cap && fromPeer < maxConnectionsPerPeer.load();
    if (admitted) {
        server->activeConnectionCount++;
        fromPeer++;
    } else if (fromPeer == 0) {
        server->peers->byAddress.erase(key);
    }
    pthread_mutex_unlock(&server->connectionFinishedLock);
    return admitted;
}

// Something that happens often under load, printed at most once per
// ACCEPT_LOG_INTERVAL_MS with how often it happened since the last line.
struct ThrottledLog {
    long count;
    std::chrono::steady_clock::time_point lastLine;
    bool printedOnce;
};

// Whether a line is due now for what was counted (count holds the
// occurrences it covers; the caller prints and resets it).
static bool throttledLogDue(ThrottledLog* log) {
    if (log->count == 0) {
        return false;
    }
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (log->printedOnce && now - log->lastLine < std::chrono::milliseconds(ACCEPT_LOG_INTERVAL_MS)) {
        return false;
    }
    log->printedOnce = true;
    log->lastLine = now;
    return true;
}

static void printRefusedIfDue(ThrottledLog* refused, int cap) {
    if (throttledLogDue(refused)) {
        printf("Connections refused over the limits (%d at once, %d per peer address): %ld since the last line\n", cap,
               maxConnectionsPerPeer.load(), refused->count);
        fflush(stdout);
        refused->count = 0;
    }
}

// The total cap in force: SERVER_MAX_CONNECTIONS, or less where the
// descriptor limit (raised as far as it goes) leaves no room for it.
static int connectionCapForDescriptorLimit(void) {
    long descriptors = descriptorLimitRaise();
    int cap = maxConnections.load();
    if (descriptors > 0 && descriptors / DESCRIPTORS_PER_CONNECTION_HEADROOM < cap) {
        cap = (int)(descriptors / DESCRIPTORS_PER_CONNECTION_HEADROOM);
        printf("The descriptor limit is %ld: serving at most %d connections at once\n", descriptors, cap);
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
        socketClose(connection->socketfd);
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

bool acceptErrorIsTransient(int error) {
    switch (error) {
    // Out of resources for now.
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EAGAIN:
    // One pending connection that failed before it was taken (a reset, an
    // abort, a network error passed on from it, a firewall rule).
    case ECONNABORTED:
    case ECONNRESET:
    case ENETRESET:
    case ETIMEDOUT:
    case EPROTO:
    case ENOSR:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
    case EPERM:
        return true;
    default:
        return false;
    }
}

// Lets serverStop return: the loop has ended, or never started.
static void markStopped(Server* server) {
    pthread_mutex_lock(&server->stoppedMutex);
    server->stopped = true;
    pthread_cond_signal(&server->stoppedCond);
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
    int cap = connectionCapForDescriptorLimit();

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

    const struct sockaddr_in* ipv4 = (const struct sockaddr_in*)address;
    if (address->sa_family == AF_INET && ipv4->sin_addr.s_addr == htonl(INADDR_ANY)) {
        printIPv4Addresses(ntohs(ipv4->sin_port));
    } else {
        printf("Listening for connections on %s:%s\n", addressHost, addressPort);
    }
    fflush(stdout);

    PeerCounts peers;
    pthread_mutex_lock(&server->connectionFinishedLock);
    server->peers = &peers;
    pthread_mutex_unlock(&server->connectionFinishedLock);
    ThrottledLog refusedLog = {0, std::chrono::steady_clock::time_point(), false};
    ThrottledLog acceptFailedLog = {0, std::chrono::steady_clock::time_point(), false};

    Connection* nextConnection = connectionAlloc(server);
    while (server->shouldRun.load()) {
        nextConnection->remoteAddrLength = sizeof(nextConnection->remoteAddr);
        nextConnection->socketfd =
            accept(listener, (struct sockaddr*)&nextConnection->remoteAddr, &nextConnection->remoteAddrLength);
        if (SOCKET_INVALID == nextConnection->socketfd) {
            int error = socketLastError();
            if (error == EINTR) {
                printf("accept was interrupted, continuing if server.shouldRun is true...\n");
                continue;
            }
            if (error == EBADF) {
                printf("accept was stopped because the file descriptor is invalid (EBADF). This is probably because "
                       "you closed it?\n");
                continue;
            }
            if (acceptErrorIsTransient(error)) {
                // Out of descriptors or a peer that left before we took it:
                // the server must outlive both.
                acceptFailedLog.count++;
                if (throttledLogDue(&acceptFailedLog)) {
                    printf("accept failed for now, retrying: %s = %d (%ld times since the last line)\n",
                           strerror(error), error, acceptFailedLog.count);
                    fflush(stdout);
                    acceptFailedLog.count = 0;
                }
                if (error != ECONNABORTED) {
                    usleep(ACCEPT_RETRY_DELAY_US);
                }
                continue;
            }
            printf("exiting because accept failed (probably interrupted) %s = %d\n", strerror(error), error);
            break;
        }
        if (!admitConnection(server, nextConnection, cap)) {
            // Over a cap: closed at once, without a thread or a line of its own.
            socketClose(nextConnection->socketfd);
            nextConnection->socketfd = SOCKET_INVALID;
            refusedLog.count++;
            printRefusedIfDue(&refusedLog, cap);
            continue;
        }
        printRefusedIfDue(&refusedLog, cap); // what is left of the last burst
        startConnectionThread(nextConnection);
        nextConnection = connectionAlloc(server);
    }

    serverMutexLock(server);
    if (server->listenerOpen) {
        socketClose(listener);
        server->listenerOpen = false;
    }
    serverMutexUnlock(server);
    fflush(stdout);

    connectionFree(nextConnection);

    pthread_mutex_lock(&server->connectionFinishedLock);
    while (server->activeConnectionCount > 0) {
        pthread_cond_wait(&server->connectionFinishedCond, &server->connectionFinishedLock);
    }
    server->peers = NULL;
    pthread_mutex_unlock(&server->connectionFinishedLock);

    markStopped(server);
    return 0;
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
