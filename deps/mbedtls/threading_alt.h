/* Locks for Mbed TLS on Windows (MBEDTLS_THREADING_ALT). The lock is a slim
 * reader/writer lock, which is one pointer, ready when zero and with nothing
 * to release; it is declared as that pointer so that this header does not
 * pull windows.h into every file that uses the library. The program installs
 * the functions with mbedtls_threading_set_alt before its first use of the
 * library (webserver/platform_win32.cpp). */
#ifndef QUORVEL2_MBEDTLS_THREADING_ALT_H
#define QUORVEL2_MBEDTLS_THREADING_ALT_H

typedef struct mbedtls_threading_mutex_t {
    void* lock; /* an SRWLOCK */
    char valid; /* 1 between init and free */
} mbedtls_threading_mutex_t;

#endif
