// certificates.h: the certificate the server answers TLS with. Either the
// shop's own files (--tls-cert, --tls-key), read again when they change, or
// a certificate this program makes and signs with a certificate authority of
// its own, both kept in the state folder and renewed while the server runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "webserver.h"

// Where the certificates come from, as the command line gave it.
struct CertificateOptions {
    const char* stateFolder;     // --state-dir, or null for the platform's default
    const char* certificateFile; // --tls-cert, or null
    const char* keyFile;         // --tls-key, or null
    uint32_t listenAddress;      // network order; INADDR_ANY for every address
    unsigned int port;
};

// Files in the state folder: the authority's certificate and key (owner-only),
// its certificate alone for the devices' trust stores, and per port the
// server's certificate with its key (owner-only).
static const char CERTIFICATE_AUTHORITY_FILE[] = "ca.pem";
static const char CERTIFICATE_AUTHORITY_PUBLIC_FILE[] = "ca.crt";
static const char SERVER_CERTIFICATE_FILE_FORMAT[] = "server-%u.pem";

// Longest time the server's own certificate is valid, and the time left at
// which it is made again.
static const int SERVER_CERTIFICATE_DAYS = 397;
static const int SERVER_CERTIFICATE_RENEW_DAYS = 30;
// How often the names, the addresses and the shop's files are looked at.
static const int CERTIFICATE_CHECK_INTERVAL_MS = 60000;

// Makes the state folder (owner-only) and hands the server its first
// certificate: the shop's files when given (refused when only one is given,
// one cannot be read, the key does not match or the certificate expired),
// else the own one, made or renewed as needed. A folder that can be read but
// not written is used as it is: the own authority and this port's
// certificate when both are there and valid, else no certificate at all
// (HTTPS off, said in one line); a renewal that cannot be written keeps the
// current pair while it is valid. Then checks once a minute until
// certificatesStop. False after printing why on standard error (a folder
// that cannot be made, is not a folder or cannot be read among them).
bool certificatesStart(const CertificateOptions* options, Server* server);
// Ends the checks; the server may keep the certificate it has.
void certificatesStop(void);
// For tests, before the start: how often the checks run, in milliseconds,
// and how many days before its end the server certificate is made again.
void certificatesSetCheckIntervalForTesting(int milliseconds);
void certificatesSetRenewDaysForTesting(int days);
// Copies the own authority's certificate (DER) into der; false when the
// shop's certificate is used and there is none.
bool certificateAuthorityCopyDER(HeapString* der);
