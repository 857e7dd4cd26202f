// connection.cpp: what happens to one accepted connection on its own
// thread: telling a raw ESC/POS stream from an HTTP request, feeding the
// parser, asking the application for a response, sending it, closing and
// accounting.
#include <stdlib.h>
#include <string.h>

#include "internal.h"

static const unsigned char ESC = 0x1B;

bool socketSendAll(sockettype socket, const char* data, size_t length, size_t* sent) {
    *sent = 0;
    while (*sent < length) {
        size_t remaining = length - *sent;
        ssize_t result = send(socket, data + *sent, remaining, 0);
        if (result < 0) {
            if (socketLastError() == EINTR) {
                continue;
            }
            return false;
        }
        if (result == 0) {
            return false;
        }
        *sent += (size_t)result;
    }
    return true;
}

Response* createResponseForRequestAutoreleased(const Request* request, Connection* connection) {
    return createResponseForRequest(request, connection);
}

HeadOutcome sendResponseHead(Connection* connection, const Response* response, const char* contentType,
                             uint64_t contentLength, ssize_t* bytesSent) {
    int headerLength =
        snprintfResponseHeader(connection->responseHeader, sizeof(connection->responseHeader), response->code,
                               response->status, contentType, response->extraHeaders, contentLength);
    if (headerLength < 0 || (size_t)headerLength >= sizeof(connection->responseHeader)) {
        // Never send from beyond the buffer; nothing is on the wire yet, so
        // the client can still be told that the response could not be made.
        printf("The response head for %s:%s would have %d bytes, more than %zu; answering 500 instead\n",
               connection->remoteHost, connection->remotePort, headerLength,
               sizeof(connection->responseHeader) - 1);
        Response* tooLong = responseAlloc500InternalErrorHTML("The response head was too long");
        int result = sendResponseBody(connection, tooLong, bytesSent);
        responseFree(tooLong);
        return 0 == result ? HeadReplacedBy500 : HeadSendFailed;
    }
    size_t sent = 0;
    if (!socketSendAll(connection->socketfd, connection->responseHeader, (size_t)headerLength, &sent)) {
        int error = socketLastError();
        if (NULL != response->filenameToSend) {
            printf("Unable to satisfy request for '%s' because we could not send the HTTP header '%s' %s = %d\n",
                   connection->request.path, response->filenameToSend, strerror(error), error);
        } else {
            printf("Failed to respond to %s:%s because we could not send the HTTP response *header*. send returned "
                   "%ld with %s = %d\n",
                   connection->remoteHost, connection->remotePort, (long)sent, strerror(error), error);
        }
        return HeadSendFailed;
    }
    if (OptionPrintResponse) {
        fwrite(connection->responseHeader, 1, (size_t)headerLength, stdout);
    }
    *bytesSent += (ssize_t)sent;
    return HeadSent;
}

int sendResponseBody(Connection* connection, const Response* response, ssize_t* bytesSent) {
    switch (sendResponseHead(connection, response, response->contentType, response->body.length, bytesSent)) {
    case HeadSent:
        break;
    case HeadReplacedBy500:
        return 0;
    case HeadSendFailed:
        return -1;
    }
    if (response->body.length == 0) {
        return 0;
    }
    size_t sent = 0;
    if (!socketSendAll(connection->socketfd, response->body.contents, response->body.length, &sent)) {
        int error = socketLastError();
        printf("Failed to respond to %s:%s because we could not send the HTTP response *body*. send returned %lld "
               "with %s = %d\n",
               connection->remoteHost, connection->remotePort, (long long)sent, strerror(error), error);
        return -1;
    }
    if (OptionPrintResponse) {
        fwrite(response->body.contents, 1, response->body.length, stdout);
    }
    *bytesSent += (ssize_t)sent;
    return 0;
}

int sendResponse(Connection* connection, const Response* response, ssize_t* bytesSent) {
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
        char c = value[i];
        if (c >= 'A' && c <= 'Z') {
            c = (char)(c - 'A' + 'a');
        }
        if (c != EXPECTED[i]) {
            return;
        }
    }
    size_t sent = 0;
    socketSendAll(connection->socketfd, CONTINUE, sizeof(CONTINUE) - 1, &sent);
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
        printf("No request found from %s:%s? Closing connection. Here's the last bytes we received in the request "
               "(length %lli). The total bytes received on this connection: %lli :\n",
               connection->remoteHost, connection->remotePort, (long long)bytesRead,
               (long long)connection->status.bytesReceived);
    }
}

static void serveConnection(Connection* connection);

void* connectionHandlerThread(void* connectionPointer) {
    ConnectionThreadSlot slot;
    pthread_cond_init(&slot.handedOver, NULL);
    for (Connection* connection = (Connection*)connectionPointer; NULL != connection;
         connection = connectionThreadWaitForNext(&slot)) {
        serveConnection(connection);
    }
    pthread_cond_destroy(&slot.handedOver);
    return NULL;
}

// Everything that happens to one connection; frees the record at the end.
static void serveConnection(Connection* connection) {
    getnameinfo((const struct sockaddr*)&connection->remoteAddr, connection->remoteAddrLength, connection->remoteHost,
                sizeof(connection->remoteHost), connection->remotePort, sizeof(connection->remotePort),
                NI_NUMERICHOST | NI_NUMERICSERV);
    countConnectionStart();
    // A peer that neither sends nor takes anything for this long is treated
    // as gone, so it cannot hold a thread (or the printer) forever.
    socketSetIOTimeouts(connection->socketfd, serverIdleTimeoutMilliseconds());

    bool foundRequest = false;
    bool continueSent = false;
    ssize_t continueBytes = 0;
    unsigned int foundEscpos = 0;
    ssize_t bytesRead = 0;
    for (;;) {
        bytesRead = recv(connection->socketfd, connection->sendRecvBuffer, sizeof(connection->sendRecvBuffer), 0);
        if (bytesRead < 0 && socketLastError() == EINTR) {
            continue;
        }
        if (bytesRead <= 0 && foundEscpos == 0) {
            break;
        }
        if (connection->status.bytesReceived == 0 && bytesRead > 0 &&
            (unsigned char)connection->sendRecvBuffer[0] == ESC) {
            foundEscpos |= 1;
        }
        if (foundEscpos & 1) {
            onEscposRequest(foundEscpos, connection->sendRecvBuffer, bytesRead);
            if (bytesRead <= 0) {
                break;
            }
            foundEscpos += 2;
            continue;
        }
        if (OptionPrintWholeRequest) {
            fwrite(connection->sendRecvBuffer, 1, (size_t)bytesRead, stdout);
        }
        connection->status.bytesReceived += bytesRead;
        requestParse(&connection->request, connection->sendRecvBuffer, (size_t)bytesRead);
        if (connection->request.state == RequestParseStateDone) {
            foundRequest = true;
            break;
        }
        if (!continueSent && connection->request.state == RequestParseStateBody) {
            continueSent = true;
            sendContinueIfExpected(connection, &continueBytes);
        }
    }
    if (foundEscpos == 0) {
        answerHTTP(connection, foundRequest, bytesRead);
        connection->status.bytesSent += continueBytes;
    }
    fflush(stdout);

    socketClose(connection->socketfd);
    countConnectionEnd(connection);
    connectionCountOut(connection->server);
    connectionFree(connection);
}
