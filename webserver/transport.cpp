// transport.cpp: the one place that moves a client connection's bytes. The
// request reader, the answer writer, file serving and the raw stream's reply
// forwarder all receive and send through these functions; nothing else in
// the module calls recv or send on a client's socket.
//
// An encrypted connection carries its session in transport.tls. Each
// function below that touches the wire is where its branch goes: when tls is
// set, receive and send through the session instead of the socket (the
// waits and the lock stay as they are, except that bytes the session has
// already decrypted count as readable). A plain connection never sees the
// branch.
#include "internal.h"

void connectionTransportInit(ConnectionTransport* transport) {
    transport->socket = SOCKET_INVALID;
    pthread_mutex_init(&transport->sendLock, NULL);
    transport->tls = NULL;
}

void connectionTransportRelease(ConnectionTransport* transport) {
    pthread_mutex_destroy(&transport->sendLock);
}

void connectionTransportClose(ConnectionTransport* transport) {
    if (NULL != transport->tls) {
        tlsSessionCloseNotify(transport->tls);
        tlsSessionFree(transport->tls);
        transport->tls = NULL;
    }
    socketClose(transport->socket);
    transport->socket = SOCKET_INVALID;
}

ssize_t transportSocketReceive(sockettype socket, char* into, size_t capacity) {
    for (;;) {
        ssize_t received = recv(socket, into, capacity, 0);
        if (received < 0 && socketLastError() == EINTR) {
            continue;
        }
        return received;
    }
}

ssize_t transportSocketSend(sockettype socket, const char* data, size_t length) {
    for (;;) {
        ssize_t sent = send(socket, data, length, 0);
        if (sent < 0 && socketLastError() == EINTR) {
            continue;
        }
        return sent;
    }
}

// One receive into the buffer, repeated when a signal cut it short.
static ssize_t receiveOnce(ConnectionTransport* transport, char* into, size_t capacity) {
    return transportSocketReceive(transport->socket, into, capacity);
}

ssize_t connectionReceive(Connection* connection, char* into, size_t capacity) {
    if (NULL != connection->transport.tls) {
        return tlsSessionReceive(connection->transport.tls, into, capacity);
    }
    return receiveOnce(&connection->transport, into, capacity);
}

ssize_t connectionReceiveWithin(Connection* connection, char* into, size_t capacity, int timeoutMs, int idleMs,
                                bool* timedOut) {
    if (NULL != connection->transport.tls) {
        return tlsSessionReceiveWithin(connection->transport.tls, into, capacity, timeoutMs, idleMs, timedOut);
    }
    *timedOut = false;
    if (timeoutMs < idleMs) {
        // A stream sending fast has its next bytes there already: take them
        // without asking first whether they are.
        ssize_t received = 0;
        if (socketReceiveNow(connection->transport.socket, into, capacity, &received)) {
            return received;
        }
        int ready = socketWaitReadable(connection->transport.socket, timeoutMs < 0 ? 0 : timeoutMs);
        if (ready == 0) {
            *timedOut = true;
            return -1;
        }
        if (ready < 0) {
            return -1;
        }
    }
    return receiveOnce(&connection->transport, into, capacity);
}

bool connectionSendAll(Connection* connection, const char* data, size_t length, size_t* sent,
                       ssize_t* failedSendResult) {
    ConnectionTransport* transport = &connection->transport;
    *sent = 0;
    bool whole = true;
    pthread_mutex_lock(&transport->sendLock);
    if (NULL != transport->tls) {
        whole = tlsSessionSendAll(transport->tls, data, length, sent);
        if (!whole && NULL != failedSendResult) {
            *failedSendResult = -1;
        }
        pthread_mutex_unlock(&transport->sendLock);
        return whole;
    }
    while (*sent < length) {
        size_t remaining = length - *sent;
        ssize_t result = send(transport->socket, data + *sent, remaining, 0);
        if (result < 0 && socketLastError() == EINTR) {
            continue;
        }
        if (result <= 0) {
            if (NULL != failedSendResult) {
                *failedSendResult = result;
            }
            whole = false;
            break;
        }
        *sent += (size_t)result;
    }
    pthread_mutex_unlock(&transport->sendLock); // leaves the socket's error number as the send set it
    return whole;
}

void connectionShutdownSending(Connection* connection) {
    if (NULL != connection->transport.tls) {
        tlsSessionCloseNotify(connection->transport.tls);
    }
    socketShutdownSending(connection->transport.socket);
}

bool connectionStartTLS(Connection* connection, const char* received, size_t receivedLength, int deadlineMs, int idleMs,
                        char* reason, size_t reasonCapacity) {
    connection->transport.tls = tlsSessionAccept(connection->server, connection->transport.socket, received,
                                                 receivedLength, deadlineMs, idleMs, reason, reasonCapacity);
    return NULL != connection->transport.tls;
}

bool connectionPeerIsThere(const Connection* connection) {
    sockettype socket = connection->transport.socket;
    if (socketWaitReadable(socket, 0) <= 0) {
        return true; // nothing to report: no reset either
    }
    char next;
    ssize_t peeked = recv(socket, &next, 1, MSG_PEEK);
    if (peeked >= 0) {
        return true; // more bytes, or only the end of what it sends
    }
    int error = socketLastError();
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

ssize_t connectionSendToRawClient(Connection* connection, const char* data, size_t length) {
    ConnectionTransport* transport = &connection->transport;
    ssize_t sent;
    pthread_mutex_lock(&transport->sendLock);
    if (NULL != transport->tls) {
        // An encrypted reply goes out as whole records.
        size_t whole = 0;
        sent = tlsSessionSendAll(transport->tls, data, length, &whole) ? (ssize_t)whole : -1;
    } else {
        sent = socketSendNow(transport->socket, data, length);
    }
    pthread_mutex_unlock(&transport->sendLock);
    return sent;
}
