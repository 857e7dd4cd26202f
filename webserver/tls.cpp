// tls.cpp: TLS for connections that begin with a handshake record, over
// Mbed TLS. The server keeps one random generator, one ticket key set and one
// session cache; each credential pair is a configuration of its own, shared
// by the sessions that began with it, so that new credentials take effect at
// the next handshake while open connections keep theirs. A session moves its
// bytes over the connection's socket through the two callbacks below, which
// also hold the handshake to its deadline.
#include <string.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/ssl_ticket.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include "internal.h"

// Tickets are encrypted with a key that changes this often (the one before
// stays valid as long again), so a stolen ticket key opens little traffic.
static const uint32_t TLS_TICKET_LIFETIME_S = 86400;
// TLS 1.2 clients that resume by session ID: this many sessions, this long.
static const int TLS_SESSION_CACHE_ENTRIES = 256;
static const int TLS_SESSION_CACHE_TIMEOUT_S = 86400;

// The library keeps the pointer; the list is never written.
static const char* TLS_ALPN_PROTOCOLS[] = {"http/1.1", NULL};

// One certificate chain with its key, and the configuration that serves
// them. Freed when it is no longer current and its last session has ended.
struct TLSCredentials {
    mbedtls_x509_crt chain;
    mbedtls_pk_context key;
    mbedtls_ssl_config config;
    int references; // under TLSServer::lock: the server's (while current) and each session's
};

struct TLSServer {
    pthread_mutex_t lock;
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context random; // locks itself; shared by every session
    mbedtls_ssl_ticket_context tickets;
    mbedtls_ssl_cache_context cache;
    TLSCredentials* current; // null until the first pair
};

struct TLSSession {
    mbedtls_ssl_context ssl;
    TLSServer* server;
    TLSCredentials* credentials;
    sockettype socket;
    // The connection thread receives while a raw stream's replies may be sent
    // from another thread; one context takes one caller at a time.
    pthread_mutex_t lock;
    // The bytes received before the connection was known to be TLS; read first.
    char* early;
    size_t earlyLength;
    size_t earlyOffset;
    int64_t deadlineAtMs; // during the handshake; 0 after it
    bool closeNotifySent;
};

// The library's own wording of an error code, for the one-line reasons.
static void describeError(int code, const char* what, char* error, size_t errorCapacity) {
    char text[128];
    mbedtls_strerror(code, text, sizeof(text));
    snprintf(error, errorCapacity, "%s (%s)", what, text);
}

// Takes a reference under the server's lock.
static TLSCredentials* credentialsAcquire(TLSServer* tls) {
    pthread_mutex_lock(&tls->lock);
    TLSCredentials* credentials = tls->current;
    if (NULL != credentials) {
        credentials->references++;
    }
    pthread_mutex_unlock(&tls->lock);
    return credentials;
}

static void credentialsFree(TLSCredentials* credentials) {
    mbedtls_ssl_config_free(&credentials->config);
    mbedtls_pk_free(&credentials->key);
    mbedtls_x509_crt_free(&credentials->chain);
    free(credentials);
}

static void credentialsRelease(TLSServer* tls, TLSCredentials* credentials) {
    pthread_mutex_lock(&tls->lock);
    bool last = --credentials->references == 0;
    pthread_mutex_unlock(&tls->lock);
    if (last) {
        credentialsFree(credentials);
    }
}

static void tlsServerFree(TLSServer* tls) {
    if (NULL != tls->current) {
        credentialsRelease(tls, tls->current);
    }
    mbedtls_ssl_cache_free(&tls->cache);
    mbedtls_ssl_ticket_free(&tls->tickets);
    mbedtls_ctr_drbg_free(&tls->random);
    mbedtls_entropy_free(&tls->entropy);
    pthread_mutex_destroy(&tls->lock);
    free(tls);
}

// The server's TLS state, made on first use; null (with the reason) when the
// library cannot start or its random generator cannot be seeded.
static TLSServer* tlsServerOf(Server* server, char* error, size_t errorCapacity) {
    serverMutexLock(server);
    TLSServer* tls = server->tls;
    if (NULL != tls) {
        serverMutexUnlock(server);
        return tls;
    }
    int status = (int)psa_crypto_init();
    if (PSA_SUCCESS != status) {
        serverMutexUnlock(server);
        snprintf(error, errorCapacity, "the TLS library cannot start (PSA error %d)", status);
        return NULL;
    }
    tls = (TLSServer*)webserverCallocOrDie(1, sizeof(TLSServer), "the TLS state");
    pthread_mutex_init(&tls->lock, NULL);
    mbedtls_entropy_init(&tls->entropy);
    mbedtls_ctr_drbg_init(&tls->random);
    mbedtls_ssl_ticket_init(&tls->tickets);
    mbedtls_ssl_cache_init(&tls->cache);
    static const unsigned char PERSONALISATION[] = "quorvel2 TLS";
    int result = mbedtls_ctr_drbg_seed(&tls->random, mbedtls_entropy_func, &tls->entropy, PERSONALISATION,
                                       sizeof(PERSONALISATION) - 1);
    if (0 == result) {
        result = mbedtls_ssl_ticket_setup(&tls->tickets, mbedtls_ctr_drbg_random, &tls->random,
                                          MBEDTLS_CIPHER_AES_256_GCM, TLS_TICKET_LIFETIME_S);
    }
    if (0 != result) {
        serverMutexUnlock(server);
        describeError(result, "the TLS random generator cannot be seeded", error, errorCapacity);
        tlsServerFree(tls);
        return NULL;
    }
    mbedtls_ssl_cache_set_max_entries(&tls->cache, TLS_SESSION_CACHE_ENTRIES);
    mbedtls_ssl_cache_set_timeout(&tls->cache, TLS_SESSION_CACHE_TIMEOUT_S);
    server->tls = tls;
    serverMutexUnlock(server);
    return tls;
}

void tlsServerRelease(Server* server) {
    if (NULL != server->tls) {
        tlsServerFree(server->tls);
        server->tls = NULL;
    }
}

bool tlsServerHasCredentials(Server* server) {
    serverMutexLock(server);
    TLSServer* tls = server->tls;
    serverMutexUnlock(server);
    if (NULL == tls) {
        return false;
    }
    pthread_mutex_lock(&tls->lock);
    bool has = NULL != tls->current;
    pthread_mutex_unlock(&tls->lock);
    return has;
}

// A server configuration for the pair: TLS 1.2 and 1.3, ALPN http/1.1,
// resumption by ticket and (TLS 1.2) by session ID. 0 or a library error.
static int credentialsConfigure(TLSServer* tls, TLSCredentials* credentials) {
    mbedtls_ssl_config* config = &credentials->config;
    int result = mbedtls_ssl_config_defaults(config, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                             MBEDTLS_SSL_PRESET_DEFAULT);
    if (0 != result) {
        return result;
    }
    mbedtls_ssl_conf_min_tls_version(config, MBEDTLS_SSL_VERSION_TLS1_2);
    mbedtls_ssl_conf_max_tls_version(config, MBEDTLS_SSL_VERSION_TLS1_3);
    mbedtls_ssl_conf_rng(config, mbedtls_ctr_drbg_random, &tls->random);
    mbedtls_ssl_conf_session_tickets_cb(config, mbedtls_ssl_ticket_write, mbedtls_ssl_ticket_parse, &tls->tickets);
    mbedtls_ssl_conf_session_cache(config, &tls->cache, mbedtls_ssl_cache_get, mbedtls_ssl_cache_set);
    result = mbedtls_ssl_conf_alpn_protocols(config, TLS_ALPN_PROTOCOLS);
    if (0 != result) {
        return result;
    }
    return mbedtls_ssl_conf_own_cert(config, &credentials->chain, &credentials->key);
}

int serverSetTLSCredentials(Server* server, const char* certificateChainPem, const char* privateKeyPem, char* error,
                            size_t errorCapacity) {
    char ignored[1];
    if (NULL == error || 0 == errorCapacity) {
        error = ignored;
        errorCapacity = sizeof(ignored);
    }
    error[0] = '\0';
    if (NULL == certificateChainPem || NULL == privateKeyPem) {
        snprintf(error, errorCapacity, "no certificate chain or no private key was given");
        return -1;
    }
    TLSServer* tls = tlsServerOf(server, error, errorCapacity);
    if (NULL == tls) {
        return -1;
    }
    TLSCredentials* credentials = (TLSCredentials*)webserverCallocOrDie(1, sizeof(TLSCredentials), "TLS credentials");
    mbedtls_x509_crt_init(&credentials->chain);
    mbedtls_pk_init(&credentials->key);
    mbedtls_ssl_config_init(&credentials->config);
    // The parsers take PEM with its terminating NUL counted.
    int result = mbedtls_x509_crt_parse(&credentials->chain, (const unsigned char*)certificateChainPem,
                                        strlen(certificateChainPem) + 1);
    if (0 != result) {
        describeError(result, "the certificate chain cannot be parsed", error, errorCapacity);
    } else if (0 != (result = mbedtls_pk_parse_key(&credentials->key, (const unsigned char*)privateKeyPem,
                                                   strlen(privateKeyPem) + 1, NULL, 0, mbedtls_ctr_drbg_random,
                                                   &tls->random))) {
        describeError(result, "the private key cannot be parsed", error, errorCapacity);
    } else if (0 != (result = mbedtls_pk_check_pair(&credentials->chain.pk, &credentials->key, mbedtls_ctr_drbg_random,
                                                    &tls->random))) {
        snprintf(error, errorCapacity, "the private key does not match the certificate");
    } else if (0 != (result = credentialsConfigure(tls, credentials))) {
        describeError(result, "the certificate and key cannot be used for TLS", error, errorCapacity);
    }
    if (0 != result) {
        credentialsFree(credentials);
        return -1;
    }
    credentials->references = 1;
    pthread_mutex_lock(&tls->lock);
    TLSCredentials* previous = tls->current;
    tls->current = credentials;
    pthread_mutex_unlock(&tls->lock);
    if (NULL != previous) {
        credentialsRelease(tls, previous);
    }
    return 0;
}

// ---- Moving a session's bytes ------------------------------------------------

static int receiveCallback(void* context, unsigned char* into, size_t capacity) {
    TLSSession* session = (TLSSession*)context;
    if (session->earlyOffset < session->earlyLength) {
        size_t length = session->earlyLength - session->earlyOffset;
        if (length > capacity) {
            length = capacity;
        }
        memcpy(into, session->early + session->earlyOffset, length);
        session->earlyOffset += length;
        return (int)length;
    }
    if (0 != session->deadlineAtMs) {
        int64_t leftMs = session->deadlineAtMs - monotonicMilliseconds();
        if (leftMs <= 0 || 0 == socketWaitReadable(session->socket, (int)leftMs)) {
            return MBEDTLS_ERR_SSL_TIMEOUT;
        }
    }
    ssize_t received = transportSocketReceive(session->socket, (char*)into, capacity);
    if (received >= 0) {
        return (int)received; // 0: the peer closed
    }
    int error = socketLastError();
    // A receive that ran into the socket's idle limit.
    return error == EAGAIN || error == EWOULDBLOCK || error == ETIMEDOUT ? MBEDTLS_ERR_SSL_TIMEOUT
                                                                         : MBEDTLS_ERR_NET_RECV_FAILED;
}

static int sendCallback(void* context, const unsigned char* data, size_t length) {
    TLSSession* session = (TLSSession*)context;
    ssize_t sent = transportSocketSend(session->socket, (const char*)data, length);
    return sent >= 0 ? (int)sent : MBEDTLS_ERR_NET_SEND_FAILED;
}

// Why a handshake failed, in the words of the log.
static void describeHandshakeFailure(const TLSSession* session, int code, char* reason, size_t reasonCapacity) {
    switch (code) {
    case MBEDTLS_ERR_SSL_TIMEOUT:
        snprintf(reason, reasonCapacity, "no handshake within its deadline");
        return;
    case MBEDTLS_ERR_SSL_CONN_EOF:
    case MBEDTLS_ERR_NET_RECV_FAILED:
    case MBEDTLS_ERR_NET_SEND_FAILED:
        snprintf(reason, reasonCapacity, "the client went away during the handshake");
        return;
    case MBEDTLS_ERR_SSL_BAD_PROTOCOL_VERSION:
        snprintf(reason, reasonCapacity, "protocol version: the client offers neither TLS 1.2 nor TLS 1.3");
        return;
    case MBEDTLS_ERR_SSL_HANDSHAKE_FAILURE:
        snprintf(reason, reasonCapacity, "no shared cipher: nothing the client offers is served here");
        return;
    case MBEDTLS_ERR_SSL_INVALID_MAC:
    case MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE: {
        // The library keeps the alert the client sent in its input record
        // and names it nowhere else. A TLS 1.3 client that rejects the
        // certificate may send its alert before it has switched to the
        // handshake keys: a plain two-byte record the library cannot decrypt.
        const unsigned char* header = session->ssl.MBEDTLS_PRIVATE(in_hdr);
        bool plainAlert = NULL != header && header[0] == MBEDTLS_SSL_MSG_ALERT && header[3] == 0 && header[4] == 2;
        if (code == MBEDTLS_ERR_SSL_INVALID_MAC && !plainAlert) {
            snprintf(reason, reasonCapacity, "a record failed its integrity check");
            return;
        }
        unsigned char alert = session->ssl.MBEDTLS_PRIVATE(in_msg)[1];
        const char* meaning = "";
        switch (alert) {
        case MBEDTLS_SSL_ALERT_MSG_UNKNOWN_CA:
            meaning = "unknown CA: the client does not trust the certificate's issuer";
            break;
        case MBEDTLS_SSL_ALERT_MSG_BAD_CERT:
        case MBEDTLS_SSL_ALERT_MSG_CERT_UNKNOWN:
            meaning = "bad certificate: the client refused the certificate";
            break;
        case MBEDTLS_SSL_ALERT_MSG_CERT_EXPIRED:
            meaning = "certificate expired, in the client's view";
            break;
        case MBEDTLS_SSL_ALERT_MSG_PROTOCOL_VERSION:
            meaning = "protocol version";
            break;
        case MBEDTLS_SSL_ALERT_MSG_HANDSHAKE_FAILURE:
        case MBEDTLS_SSL_ALERT_MSG_INSUFFICIENT_SECURITY:
            meaning = "no shared cipher";
            break;
        case MBEDTLS_SSL_ALERT_MSG_NO_APPLICATION_PROTOCOL:
            meaning = "no shared application protocol: http/1.1 only";
            break;
        default:
            meaning = "an alert";
            break;
        }
        snprintf(reason, reasonCapacity, "the client ended it with %s (alert %u)", meaning, (unsigned)alert);
        return;
    }
    default: {
        char text[128];
        mbedtls_strerror(code, text, sizeof(text));
        snprintf(reason, reasonCapacity, "%s", text);
        return;
    }
    }
}

static void sessionFree(TLSSession* session) {
    mbedtls_ssl_free(&session->ssl);
    credentialsRelease(session->server, session->credentials);
    pthread_mutex_destroy(&session->lock);
    free(session->early);
    free(session);
}

TLSSession* tlsSessionAccept(Server* server, sockettype socket, const char* received, size_t receivedLength,
                             int deadlineMs, int idleMs, char* reason, size_t reasonCapacity) {
    char ignored[1];
    TLSServer* tls = tlsServerOf(server, ignored, sizeof(ignored));
    TLSCredentials* credentials = NULL == tls ? NULL : credentialsAcquire(tls);
    if (NULL == credentials) {
        snprintf(reason, reasonCapacity, "no certificate");
        return NULL;
    }
    TLSSession* session = (TLSSession*)webserverCallocOrDie(1, sizeof(TLSSession), "a TLS session");
    session->server = tls;
    session->credentials = credentials;
    session->socket = socket;
    pthread_mutex_init(&session->lock, NULL);
    session->early = (char*)webserverCallocOrDie(receivedLength > 0 ? receivedLength : 1, 1, "a TLS hello");
    memcpy(session->early, received, receivedLength);
    session->earlyLength = receivedLength;
    mbedtls_ssl_init(&session->ssl);
    int result = mbedtls_ssl_setup(&session->ssl, &credentials->config);
    if (0 != result) {
        describeHandshakeFailure(session, result, reason, reasonCapacity);
        sessionFree(session);
        return NULL;
    }
    mbedtls_ssl_set_bio(&session->ssl, session, sendCallback, receiveCallback, NULL);
    // A peer that stops taking the server's flight is held to the same deadline.
    socketSetIOTimeouts(socket, deadlineMs);
    session->deadlineAtMs = monotonicMilliseconds() + deadlineMs;
    result = mbedtls_ssl_handshake(&session->ssl);
    session->deadlineAtMs = 0;
    socketSetIOTimeouts(socket, idleMs);
    free(session->early);
    session->early = NULL;
    session->earlyLength = 0;
    session->earlyOffset = 0;
    if (0 != result) {
        describeHandshakeFailure(session, result, reason, reasonCapacity);
        sessionFree(session);
        return NULL;
    }
    return session;
}

ssize_t tlsSessionReceive(TLSSession* session, char* into, size_t capacity) {
    for (;;) {
        pthread_mutex_lock(&session->lock);
        int received = mbedtls_ssl_read(&session->ssl, (unsigned char*)into, capacity);
        pthread_mutex_unlock(&session->lock);
        if (received > 0) {
            return received;
        }
        switch (received) {
        case 0:
        case MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY:
        case MBEDTLS_ERR_SSL_CONN_EOF:
            return 0;
        case MBEDTLS_ERR_SSL_WANT_READ:
        case MBEDTLS_ERR_SSL_WANT_WRITE:
            continue; // a record with nothing for the application
        default:
            return -1;
        }
    }
}

ssize_t tlsSessionReceiveWithin(TLSSession* session, char* into, size_t capacity, int timeoutMs, int idleMs,
                                bool* timedOut) {
    *timedOut = false;
    // Records the library has already taken off the socket count as readable.
    pthread_mutex_lock(&session->lock);
    bool pending = mbedtls_ssl_check_pending(&session->ssl) != 0;
    pthread_mutex_unlock(&session->lock);
    // The wait is made before the lock is taken, so that a raw stream's
    // replies are not held up by a receive that waits for bytes.
    if (!pending) {
        int ready = socketWaitReadable(session->socket, timeoutMs < 0 ? 0 : timeoutMs);
        if (ready == 0) {
            *timedOut = timeoutMs < idleMs; // else the idle limit ran out: a failed receive
            return -1;
        }
        if (ready < 0) {
            return -1;
        }
    }
    return tlsSessionReceive(session, into, capacity);
}

bool tlsSessionSendAll(TLSSession* session, const char* data, size_t length, size_t* sent) {
    *sent = 0;
    pthread_mutex_lock(&session->lock);
    while (*sent < length) {
        int result = mbedtls_ssl_write(&session->ssl, (const unsigned char*)data + *sent, length - *sent);
        if (result == MBEDTLS_ERR_SSL_WANT_READ || result == MBEDTLS_ERR_SSL_WANT_WRITE) {
            continue;
        }
        if (result <= 0) {
            break;
        }
        *sent += (size_t)result;
    }
    pthread_mutex_unlock(&session->lock);
    return *sent == length;
}

void tlsSessionCloseNotify(TLSSession* session) {
    pthread_mutex_lock(&session->lock);
    if (!session->closeNotifySent) {
        session->closeNotifySent = true;
        mbedtls_ssl_close_notify(&session->ssl);
    }
    pthread_mutex_unlock(&session->lock);
}

void tlsSessionFree(TLSSession* session) {
    if (NULL != session) {
        sessionFree(session);
    }
}
