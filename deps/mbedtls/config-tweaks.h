/* Appended to Mbed TLS's own configuration (include/mbedtls/mbedtls_config.h)
 * before it is built, so that the installed header describes the library as
 * built and a program needs no settings of its own. The stock configuration
 * stays as it is except for these lines. */

/* Threads share the server-wide configuration, the session cache and the
 * ticket keys. On Windows the program has no POSIX thread library (the
 * platform layer supplies the pthread names itself), so locks come from
 * threading_alt.h over the system's slim reader/writer locks. */
#define MBEDTLS_THREADING_C
#if defined(_WIN32)
#define MBEDTLS_THREADING_ALT
#else
#define MBEDTLS_THREADING_PTHREAD
#endif

/* TLS 1.2 and 1.3 only (the 3.x series has nothing older), over TCP only:
 * no renegotiation (a client could make the server repeat the costliest
 * step), no datagram TLS. */
#undef MBEDTLS_SSL_RENEGOTIATION
#undef MBEDTLS_SSL_PROTO_DTLS
#undef MBEDTLS_SSL_DTLS_ANTI_REPLAY
#undef MBEDTLS_SSL_DTLS_HELLO_VERIFY
#undef MBEDTLS_SSL_DTLS_CLIENT_PORT_REUSE
#undef MBEDTLS_SSL_DTLS_CONNECTION_ID
#undef MBEDTLS_SSL_COOKIE_C
#undef MBEDTLS_SSL_CONTEXT_SERIALIZATION

/* Key exchanges with forward secrecy and certificates only: ECDHE with an
 * ECDSA or RSA certificate (TLS 1.2), the ephemeral and resumption modes of
 * TLS 1.3. Static RSA, finite-field DH and pre-shared keys go. */
#undef MBEDTLS_KEY_EXCHANGE_PSK_ENABLED
#undef MBEDTLS_KEY_EXCHANGE_DHE_PSK_ENABLED
#undef MBEDTLS_KEY_EXCHANGE_ECDHE_PSK_ENABLED
#undef MBEDTLS_KEY_EXCHANGE_RSA_PSK_ENABLED
#undef MBEDTLS_KEY_EXCHANGE_RSA_ENABLED
#undef MBEDTLS_KEY_EXCHANGE_DHE_RSA_ENABLED
#undef MBEDTLS_KEY_EXCHANGE_ECDH_ECDSA_ENABLED
#undef MBEDTLS_KEY_EXCHANGE_ECDH_RSA_ENABLED

/* X25519, the key exchange every client offers first, through the bundled
 * HACL* Curve25519 code (x25519-hacl.patch routes ecp.c to it, so key shares,
 * which PSA makes with ecp.c, use it too). The generic bignum ladder costs
 * about 0.4 ms per operation, two per handshake. */
#define MBEDTLS_ECDH_VARIANT_EVEREST_ENABLED

/* Sockets, timers and persistent key files are the program's own. */
#undef MBEDTLS_NET_C
#undef MBEDTLS_TIMING_C
#undef MBEDTLS_PSA_CRYPTO_STORAGE_C
#undef MBEDTLS_PSA_ITS_FILE_C
#undef MBEDTLS_SELF_TEST

/* Kept from the stock configuration and relied on: TLS 1.2 and 1.3,
 * MBEDTLS_SSL_ALPN, MBEDTLS_SSL_SESSION_TICKETS with MBEDTLS_SSL_TICKET_C,
 * the TLS 1.2 session cache (MBEDTLS_SSL_CACHE_C), MBEDTLS_SSL_SERVER_NAME_INDICATION,
 * MBEDTLS_SSL_MAX_FRAGMENT_LENGTH, ECDSA and RSA, and certificate and key
 * generation (MBEDTLS_X509_CRT_WRITE_C, MBEDTLS_X509_CSR_WRITE_C,
 * MBEDTLS_PK_WRITE_C, MBEDTLS_PEM_WRITE_C). */

/* Record buffers, the most of an idle connection's memory. A client may send
 * full 16 KiB records (browsers do, and no client has to agree to less), so
 * the input buffer keeps that size. The output buffer bounds the records the
 * server sends and the certificate chain it presents; 8 KiB holds a chain of
 * a leaf and two intermediates with 4096-bit RSA keys. */
#define MBEDTLS_SSL_IN_CONTENT_LEN 16384
#define MBEDTLS_SSL_OUT_CONTENT_LEN 8192
