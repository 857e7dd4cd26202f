// certificates.cpp: the server's TLS certificate. Without the shop's own
// files, a certificate authority is made once in the state folder: its
// critical name constraints let it vouch only for this machine's names,
// .local names and loopback, private and link-local addresses, so its key
// cannot mint a certificate for any public site. It signs a short-lived
// server certificate for this machine, made again before it runs out or when
// the machine's names or addresses change. Every file is written whole or
// not at all; a damaged one is set aside and made again, and a new authority
// is always announced, as every device must then be told to trust it.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mbedtls/asn1write.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/oid.h>
#include <mbedtls/pem.h>
#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include "certificates.h"
#include "platform_machine.h"
#include "printservice.h"

static const int CERTIFICATE_AUTHORITY_YEARS = 10;
static const size_t NAMES_MAX = 8;
static const size_t ADDRESSES_MAX = 64;
static const size_t NAME_CAPACITY = 256;
static const size_t PEM_CAPACITY = 16384;
static const size_t FILE_MAX = 1048576; // larger than any certificate chain a shop would use

// ---- Names ------------------------------------------------------------------

// What a certificate names, or what a name constraint permits: DNS names,
// and addresses with their masks (all ones for a certificate's own).
struct Names {
    char dns[NAMES_MAX][NAME_CAPACITY];
    size_t dnsCount;
    MachineAddress addresses[ADDRESSES_MAX];
    MachineAddress masks[ADDRESSES_MAX];
    size_t addressCount;
};

static void addName(Names* names, const char* name, size_t length) {
    if (length == 0 || length >= NAME_CAPACITY || names->dnsCount >= NAMES_MAX) {
        return;
    }
    for (size_t i = 0; i < names->dnsCount; i++) {
        if (sameIgnoringASCIICase(names->dns[i], strlen(names->dns[i]), name, length)) {
            return;
        }
    }
    memcpy(names->dns[names->dnsCount], name, length);
    names->dns[names->dnsCount++][length] = '\0';
}

static void addAddress(Names* names, const uint8_t* bytes, size_t length, int prefixBits) {
    if (names->addressCount >= ADDRESSES_MAX) {
        return;
    }
    MachineAddress address = {}, mask = {};
    memcpy(address.bytes, bytes, length);
    address.length = mask.length = length;
    for (int bit = 0; bit < prefixBits; bit++) {
        mask.bytes[bit / 8] |= (uint8_t)(0x80 >> (bit % 8));
    }
    for (size_t i = 0; i < names->addressCount; i++) {
        if (names->addresses[i].length == length && 0 == memcmp(names->addresses[i].bytes, bytes, length) &&
            0 == memcmp(names->masks[i].bytes, mask.bytes, length)) {
            return;
        }
    }
    names->addresses[names->addressCount] = address;
    names->masks[names->addressCount++] = mask;
}

// This machine's host name without its domain, and with it when it has one,
// in letters, digits, dots and dashes only (what a DNS name may hold).
static void hostNames(char* shortName, char* fullName) {
    char host[NAME_CAPACITY];
    shortName[0] = fullName[0] = '\0';
    if (!machineHostName(host, sizeof(host))) {
        return;
    }
    size_t length = 0;
    for (const char* at = host; *at != '\0'; at++) {
        char c = asciiLower(*at);
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.') {
            fullName[length++] = c;
        }
    }
    while (length > 0 && fullName[length - 1] == '.') {
        length--;
    }
    fullName[length] = '\0';
    size_t shortLength = strcspn(fullName, ".");
    memcpy(shortName, fullName, shortLength);
    shortName[shortLength] = '\0';
    if (shortLength == length) {
        fullName[0] = '\0';
    }
}

// What the authority may vouch for: localhost, the host name, .local names,
// and the loopback, private and link-local ranges.
static void authorityPermits(Names* names) {
    memset(names, 0, sizeof(*names));
    char shortName[NAME_CAPACITY], fullName[NAME_CAPACITY];
    hostNames(shortName, fullName);
    addName(names, "localhost", 9);
    addName(names, shortName, strlen(shortName));
    addName(names, fullName, strlen(fullName));
    addName(names, "local", 5);
    static const struct {
        uint8_t bytes[16];
        size_t length;
        int prefixBits;
    } RANGES[] = {
        {{127}, 4, 8},       {{10}, 4, 8},           {{172, 16}, 4, 12},
        {{192, 168}, 4, 16}, {{169, 254}, 4, 16},    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 16, 128},
        {{0xfc}, 16, 7},     {{0xfe, 0x80}, 16, 10},
    };
    for (const auto& range : RANGES) {
        addAddress(names, range.bytes, range.length, range.prefixBits);
    }
}

static bool dnsNamePermitted(const Names* permitted, const char* name) {
    size_t length = strlen(name);
    for (size_t i = 0; i < permitted->dnsCount; i++) {
        const char* base = permitted->dns[i];
        size_t baseLength = strlen(base);
        if (base[0] == '.'
                ? length > baseLength && sameIgnoringASCIICase(name + length - baseLength, baseLength, base, baseLength)
                : sameIgnoringASCIICase(name, length, base, baseLength) ||
                      (length > baseLength && name[length - baseLength - 1] == '.' &&
                       sameIgnoringASCIICase(name + length - baseLength, baseLength, base, baseLength))) {
            return true;
        }
    }
    return false;
}

static bool addressPermitted(const Names* permitted, const MachineAddress* address) {
    for (size_t i = 0; i < permitted->addressCount; i++) {
        const MachineAddress* base = &permitted->addresses[i];
        bool inside = base->length == address->length;
        for (size_t b = 0; inside && b < address->length; b++) {
            inside =
                (address->bytes[b] & permitted->masks[i].bytes[b]) == (base->bytes[b] & permitted->masks[i].bytes[b]);
        }
        if (inside) {
            return true;
        }
    }
    return false;
}

// An address as people write it: dotted IPv4, or IPv6 with its longest run
// of zero groups shortened to "::".
static void formatAddress(const MachineAddress* address, char* text, size_t capacity) {
    const uint8_t* b = address->bytes;
    if (address->length == 4) {
        snprintf(text, capacity, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        return;
    }
    int runStart = -1, runLength = 0;
    for (int group = 0; group < 8;) {
        int length = 0;
        while (group + length < 8 && b[2 * (group + length)] == 0 && b[2 * (group + length) + 1] == 0) {
            length++;
        }
        if (length > runLength && length > 1) {
            runStart = group, runLength = length;
        }
        group += length > 0 ? length : 1;
    }
    size_t used = 0;
    text[0] = '\0';
    for (int group = 0; group < 8 && used < capacity; group++) {
        int n = 0;
        if (group == runStart) {
            n = snprintf(text + used, capacity - used, "::");
            group += runLength - 1;
        } else {
            bool afterRun = runStart >= 0 && group == runStart + runLength;
            n = snprintf(text + used, capacity - used, group == 0 || afterRun ? "%x" : ":%x",
                         (unsigned)(b[2 * group] << 8 | b[2 * group + 1]));
        }
        used += n > 0 ? (size_t)n : 0;
    }
}

// The names the server's certificate should carry now, as far as the
// authority permits them; with `log`, each one left out is said.
static void serverNames(const CertificateOptions* options, const Names* permitted, bool log, Names* names) {
    memset(names, 0, sizeof(*names));
    char shortName[NAME_CAPACITY], fullName[NAME_CAPACITY];
    hostNames(shortName, fullName);
    char localName[NAME_CAPACITY + 8];
    snprintf(localName, sizeof(localName), "%s.local", shortName);
    const char* candidates[] = {"localhost", shortName, shortName[0] != '\0' ? localName : "", fullName};
    for (const char* name : candidates) {
        if (name[0] == '\0') {
            continue;
        }
        if (dnsNamePermitted(permitted, name)) {
            addName(names, name, strlen(name));
        } else if (log) {
            printf("The server certificate leaves out the name %s: the certificate authority was made for "
                   "other names\n",
                   name);
        }
    }
    MachineAddress found[ADDRESSES_MAX];
    size_t count = 0;
    const uint8_t LOOPBACK4[4] = {127, 0, 0, 1};
    const uint8_t LOOPBACK6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    found[count].length = 4;
    memcpy(found[count++].bytes, LOOPBACK4, 4);
    found[count].length = 16;
    memcpy(found[count++].bytes, LOOPBACK6, 16);
    if (options->listenAddress == 0) {
        count += machineAddresses(found + count, ADDRESSES_MAX - count);
    } else {
        found[count].length = 4;
        memcpy(found[count++].bytes, &options->listenAddress, 4);
    }
    for (size_t i = 0; i < count; i++) {
        if (addressPermitted(permitted, &found[i])) {
            addAddress(names, found[i].bytes, found[i].length, (int)found[i].length * 8);
        } else if (log) {
            char text[64];
            formatAddress(&found[i], text, sizeof(text));
            printf("The server certificate leaves out the address %s: only loopback, private and link-local "
                   "addresses can be vouched for\n",
                   text);
        }
    }
    fflush(stdout);
}

static bool hasName(const Names* names, const char* name) {
    for (size_t i = 0; i < names->dnsCount; i++) {
        if (sameIgnoringASCIICase(names->dns[i], strlen(names->dns[i]), name, strlen(name))) {
            return true;
        }
    }
    return false;
}

static bool hasAddress(const Names* names, const MachineAddress* address) {
    for (size_t i = 0; i < names->addressCount; i++) {
        if (names->addresses[i].length == address->length &&
            0 == memcmp(names->addresses[i].bytes, address->bytes, address->length)) {
            return true;
        }
    }
    return false;
}

// Whether both carry the same names and addresses, in any order.
static bool sameNames(const Names* a, const Names* b) {
    if (a->dnsCount != b->dnsCount || a->addressCount != b->addressCount) {
        return false;
    }
    for (size_t i = 0; i < a->dnsCount; i++) {
        if (!hasName(b, a->dns[i])) {
            return false;
        }
    }
    for (size_t i = 0; i < a->addressCount; i++) {
        if (!hasAddress(b, &a->addresses[i])) {
            return false;
        }
    }
    return true;
}

// ---- Encoding the name constraints --------------------------------------------

// Writes a GeneralName (dNSName or iPAddress with its mask) as one
// GeneralSubtree before *p; the bytes written or a negative error.
static int writeSubtree(unsigned char** p, unsigned char* start, int tag, const unsigned char* value,
                        size_t valueLength, const unsigned char* mask) {
    int ret = 0;
    size_t length = 0;
    if (NULL != mask) {
        MBEDTLS_ASN1_CHK_ADD(length, mbedtls_asn1_write_raw_buffer(p, start, mask, valueLength));
    }
    MBEDTLS_ASN1_CHK_ADD(length, mbedtls_asn1_write_raw_buffer(p, start, value, valueLength));
    MBEDTLS_ASN1_CHK_ADD(length, mbedtls_asn1_write_len(p, start, length));
    MBEDTLS_ASN1_CHK_ADD(length, mbedtls_asn1_write_tag(p, start, MBEDTLS_ASN1_CONTEXT_SPECIFIC | tag));
    size_t subtree = length;
    MBEDTLS_ASN1_CHK_ADD(subtree, mbedtls_asn1_write_len(p, start, length));
    MBEDTLS_ASN1_CHK_ADD(subtree, mbedtls_asn1_write_tag(p, start, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE));
    return (int)subtree;
}

// NameConstraints ::= SEQUENCE { permittedSubtrees [0] GeneralSubtrees },
// written at the end of buffer; its start in *der, its length returned, or a
// negative error.
static int writeNameConstraints(const Names* permitted, unsigned char* buffer, size_t capacity, unsigned char** der) {
    int ret = 0;
    unsigned char* p = buffer + capacity;
    size_t length = 0;
    for (size_t i = permitted->addressCount; i-- > 0;) {
        MBEDTLS_ASN1_CHK_ADD(length,
                             writeSubtree(&p, buffer, MBEDTLS_X509_SAN_IP_ADDRESS, permitted->addresses[i].bytes,
                                          permitted->addresses[i].length, permitted->masks[i].bytes));
    }
    for (size_t i = permitted->dnsCount; i-- > 0;) {
        MBEDTLS_ASN1_CHK_ADD(length,
                             writeSubtree(&p, buffer, MBEDTLS_X509_SAN_DNS_NAME,
                                          (const unsigned char*)permitted->dns[i], strlen(permitted->dns[i]), NULL));
    }
    MBEDTLS_ASN1_CHK_ADD(length, mbedtls_asn1_write_len(&p, buffer, length));
    MBEDTLS_ASN1_CHK_ADD(length,
                         mbedtls_asn1_write_tag(&p, buffer, MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED));
    MBEDTLS_ASN1_CHK_ADD(length, mbedtls_asn1_write_len(&p, buffer, length));
    MBEDTLS_ASN1_CHK_ADD(length, mbedtls_asn1_write_tag(&p, buffer, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE));
    *der = p;
    return (int)length;
}

// Reads the permitted subtrees back; false when they are malformed or name
// anything but DNS names and addresses.
static bool readNameConstraints(const unsigned char* p, const unsigned char* end, Names* permitted) {
    memset(permitted, 0, sizeof(*permitted));
    size_t length = 0;
    if (0 !=
            mbedtls_asn1_get_tag((unsigned char**)&p, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) ||
        0 != mbedtls_asn1_get_tag((unsigned char**)&p, end, &length,
                                  MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED)) {
        return false;
    }
    const unsigned char* subtreesEnd = p + length;
    while (p < subtreesEnd) {
        if (0 != mbedtls_asn1_get_tag((unsigned char**)&p, subtreesEnd, &length,
                                      MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) ||
            length < 2) {
            return false;
        }
        const unsigned char* next = p + length;
        int tag = *p & 0x1f;
        if ((*p & 0xe0) != MBEDTLS_ASN1_CONTEXT_SPECIFIC ||
            0 != mbedtls_asn1_get_tag((unsigned char**)&p, next, &length, *p)) {
            return false;
        }
        if (tag == MBEDTLS_X509_SAN_DNS_NAME) {
            addName(permitted, (const char*)p, length);
        } else if (tag == MBEDTLS_X509_SAN_IP_ADDRESS && (length == 8 || length == 32)) {
            int prefixBits = 0;
            for (size_t b = length / 2; b < length; b++) {
                for (int bit = 7; bit >= 0 && (p[b] >> bit & 1); bit--) {
                    prefixBits++;
                }
            }
            addAddress(permitted, p, length / 2, prefixBits);
        } else {
            return false;
        }
        p = next;
    }
    return true;
}

// ---- Randomness, time and text ----------------------------------------------

struct Random {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context generator;
};

static bool randomInit(Random* random) {
    mbedtls_entropy_init(&random->entropy);
    mbedtls_ctr_drbg_init(&random->generator);
    static const unsigned char PERSONAL[] = "quorvel2 certificates";
    return 0 == mbedtls_ctr_drbg_seed(&random->generator, mbedtls_entropy_func, &random->entropy, PERSONAL,
                                      sizeof(PERSONAL) - 1);
}

static void randomFree(Random* random) {
    mbedtls_ctr_drbg_free(&random->generator);
    mbedtls_entropy_free(&random->entropy);
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
static int64_t daysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yearOfEra = year - era * 400;
    int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

static void civilFromSeconds(int64_t seconds, char* text, size_t capacity) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    days += 719468;
    int64_t era = days / 146097;
    int64_t dayOfEra = days - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    int day = (int)(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    int month = (int)(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    int64_t year = yearOfEra + era * 400 + (month <= 2);
    snprintf(text, capacity, "%04d%02d%02d%02d%02d%02d", (int)year, month, day, (int)(rest / 3600),
             (int)(rest / 60 % 60), (int)(rest % 60));
}

static int64_t secondsOf(const mbedtls_x509_time* t) {
    return daysFromCivil(t->year, t->mon, t->day) * 86400 + t->hour * 3600 + t->min * 60 + t->sec;
}

static void printMbedError(const char* what, int code) {
    char text[128];
    mbedtls_strerror(code, text, sizeof(text));
    fprintf(stderr, "%s (%s)\n", what, text);
}

// The whole file into a NUL-terminated block; an errno value on failure.
static int readWholeFile(const char* path, HeapString* contents) {
    heapStringInit(contents);
    FILE* file = fopen_utf8_path(path, "rb");
    if (NULL == file) {
        return errno != 0 ? errno : ENOENT;
    }
    char block[4096];
    size_t n = 0;
    int error = 0;
    while (error == 0 && (n = fread(block, 1, sizeof(block), file)) > 0) {
        for (size_t i = 0; i < n; i++) {
            heapStringAppendChar(contents, block[i]);
        }
        if (contents->length > FILE_MAX) {
            error = EFBIG;
        }
    }
    if (error == 0 && ferror(file)) {
        error = EIO;
    }
    fclose(file);
    if (error == 0 && NULL == contents->contents) {
        heapStringSetToCString(contents, "");
    }
    return error;
}

static void pathInFolder(const char* folder, const char* name, char* path, size_t capacity) {
    snprintf(path, capacity, "%s%c%s", folder, machinePathSeparator(), name);
}

// ---- Certificates -----------------------------------------------------------

// A certificate and its key, as read from a file or just made.
struct Credentials {
    mbedtls_x509_crt certificate;
    mbedtls_pk_context key;
    HeapString certificatePem; // the certificate (chain) alone
    HeapString keyPem;
    Names permitted; // an authority's name constraints
};

static void credentialsInit(Credentials* credentials) {
    mbedtls_x509_crt_init(&credentials->certificate);
    mbedtls_pk_init(&credentials->key);
    heapStringInit(&credentials->certificatePem);
    heapStringInit(&credentials->keyPem);
    memset(&credentials->permitted, 0, sizeof(credentials->permitted));
}

static void credentialsFree(Credentials* credentials) {
    mbedtls_x509_crt_free(&credentials->certificate);
    mbedtls_pk_free(&credentials->key);
    heapStringFreeContents(&credentials->certificatePem);
    heapStringFreeContents(&credentials->keyPem);
    credentialsInit(credentials);
}

// Mbed TLS refuses certificates with a critical extension it does not know,
// such as the authority's name constraints: they are read here instead.
static int readExtension(void* context, const mbedtls_x509_crt*, const mbedtls_x509_buf* oid, int,
                         const unsigned char* p, const unsigned char* end) {
    if (oid->len != MBEDTLS_OID_SIZE(MBEDTLS_OID_NAME_CONSTRAINTS) ||
        0 != memcmp(oid->p, MBEDTLS_OID_NAME_CONSTRAINTS, oid->len)) {
        return MBEDTLS_ERR_X509_FEATURE_UNAVAILABLE;
    }
    return readNameConstraints(p, end, (Names*)context) ? 0 : MBEDTLS_ERR_X509_INVALID_EXTENSIONS;
}

// Splits PEM text into its certificates and its key and parses both; the
// key must belong to the first certificate. 0 or an Mbed TLS error, with
// *what saying which part failed.
static int parseCredentials(const char* pem, Random* random, Credentials* credentials, const char** what) {
    const char* keyStart = strstr(pem, "-----BEGIN");
    for (; NULL != keyStart && 0 == strncmp(keyStart, "-----BEGIN CERTIFICATE-----", 27);
         keyStart = strstr(keyStart + 1, "-----BEGIN")) {
    }
    *what = "certificate";
    size_t certificatesEnd = 0;
    // Each certificate block on its own, so that the name constraints can be read.
    for (const char* at = strstr(pem, "-----BEGIN CERTIFICATE-----"); NULL != at && (NULL == keyStart || at < keyStart);
         at = strstr(at + 1, "-----BEGIN CERTIFICATE-----")) {
        mbedtls_pem_context block;
        mbedtls_pem_init(&block);
        size_t used = 0;
        int ret = mbedtls_pem_read_buffer(&block, "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----",
                                          (const unsigned char*)at, NULL, 0, &used);
        if (ret == 0) {
            ret = mbedtls_x509_crt_parse_der_with_ext_cb(&credentials->certificate, block.MBEDTLS_PRIVATE(buf),
                                                         block.MBEDTLS_PRIVATE(buflen), 1, readExtension,
                                                         &credentials->permitted);
        }
        mbedtls_pem_free(&block);
        if (ret != 0) {
            return ret;
        }
        certificatesEnd = (size_t)(at - pem) + used;
    }
    heapStringFreeContents(&credentials->certificatePem);
    for (size_t i = 0; i < certificatesEnd; i++) {
        heapStringAppendChar(&credentials->certificatePem, pem[i]);
    }
    if (NULL == credentials->certificate.raw.p) {
        return MBEDTLS_ERR_X509_INVALID_FORMAT;
    }
    *what = "key";
    if (NULL == keyStart) {
        return MBEDTLS_ERR_PK_KEY_INVALID_FORMAT;
    }
    heapStringSetToCString(&credentials->keyPem, keyStart);
    int ret =
        mbedtls_pk_parse_key(&credentials->key, (const unsigned char*)credentials->keyPem.contents,
                             credentials->keyPem.length + 1, NULL, 0, mbedtls_ctr_drbg_random, &random->generator);
    if (ret != 0) {
        return ret;
    }
    *what = "pair";
    return mbedtls_pk_check_pair(&credentials->certificate.pk, &credentials->key, mbedtls_ctr_drbg_random,
                                 &random->generator);
}

static int makeKey(mbedtls_pk_context* key, Random* random) {
    int ret = mbedtls_pk_setup(key, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY));
    if (ret == 0) {
        ret = mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(*key), mbedtls_ctr_drbg_random,
                                  &random->generator);
    }
    return ret;
}

// A random positive serial number of 16 bytes.
static int setSerial(mbedtls_x509write_cert* writer, Random* random) {
    unsigned char serial[16];
    int ret = mbedtls_ctr_drbg_random(&random->generator, serial, sizeof(serial));
    serial[0] = (unsigned char)((serial[0] & 0x7f) | 0x40);
    return ret != 0 ? ret : mbedtls_x509write_crt_set_serial_raw(writer, serial, sizeof(serial));
}

static int setValidity(mbedtls_x509write_cert* writer, int64_t now, int64_t seconds) {
    // An hour back, for devices whose clock is a little behind.
    char notBefore[32], notAfter[32];
    civilFromSeconds(now - 3600, notBefore, sizeof(notBefore));
    civilFromSeconds(now - 3600 + seconds, notAfter, sizeof(notAfter));
    return mbedtls_x509write_crt_set_validity(writer, notBefore, notAfter);
}

// PEM of the written certificate followed by PEM of its key.
static int writePems(mbedtls_x509write_cert* writer, mbedtls_pk_context* key, Random* random, HeapString* pem) {
    unsigned char* buffer = (unsigned char*)calloc(1, PEM_CAPACITY);
    if (NULL == buffer) {
        return MBEDTLS_ERR_X509_ALLOC_FAILED;
    }
    int ret = mbedtls_x509write_crt_pem(writer, buffer, PEM_CAPACITY, mbedtls_ctr_drbg_random, &random->generator);
    if (ret == 0) {
        heapStringSetToCString(pem, (const char*)buffer);
        memset(buffer, 0, PEM_CAPACITY);
        ret = mbedtls_pk_write_key_pem(key, buffer, PEM_CAPACITY);
        heapStringAppendString(pem, (const char*)buffer);
    }
    mbedtls_platform_zeroize(buffer, PEM_CAPACITY);
    free(buffer);
    return ret;
}

// A new authority: its certificate and key as PEM.
static int makeAuthority(Random* random, int64_t now, HeapString* pem) {
    Names permitted;
    authorityPermits(&permitted);
    char shortName[NAME_CAPACITY], fullName[NAME_CAPACITY];
    hostNames(shortName, fullName);
    unsigned char tag[4];
    mbedtls_ctr_drbg_random(&random->generator, tag, sizeof(tag));
    // A name of its own, so that devices trusting the authorities of several
    // tills tell them apart.
    char subject[NAME_CAPACITY + 96];
    snprintf(subject, sizeof(subject), "CN=quorvel2 certificate authority %s %02x%02x%02x%02x,O=quorvel2",
             shortName[0] != '\0' ? shortName : "localhost", tag[0], tag[1], tag[2], tag[3]);
    mbedtls_pk_context key;
    mbedtls_pk_init(&key);
    mbedtls_x509write_cert writer;
    mbedtls_x509write_crt_init(&writer);
    unsigned char constraints[2048];
    unsigned char* constraintsDer = NULL;
    int ret = makeKey(&key, random);
    if (ret == 0) {
        mbedtls_x509write_crt_set_version(&writer, MBEDTLS_X509_CRT_VERSION_3);
        mbedtls_x509write_crt_set_md_alg(&writer, MBEDTLS_MD_SHA256);
        mbedtls_x509write_crt_set_subject_key(&writer, &key);
        mbedtls_x509write_crt_set_issuer_key(&writer, &key);
        ret = setSerial(&writer, random);
    }
    if (ret == 0) {
        ret = setValidity(&writer, now, (int64_t)CERTIFICATE_AUTHORITY_YEARS * 36525 / 100 * 86400);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_subject_name(&writer, subject);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_issuer_name(&writer, subject);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_basic_constraints(&writer, 1, 0);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_key_usage(&writer, MBEDTLS_X509_KU_KEY_CERT_SIGN | MBEDTLS_X509_KU_CRL_SIGN);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_subject_key_identifier(&writer);
    }
    if (ret == 0) {
        ret = writeNameConstraints(&permitted, constraints, sizeof(constraints), &constraintsDer);
    }
    if (ret > 0) {
        ret = mbedtls_x509write_crt_set_extension(&writer, MBEDTLS_OID_NAME_CONSTRAINTS,
                                                  MBEDTLS_OID_SIZE(MBEDTLS_OID_NAME_CONSTRAINTS), 1, constraintsDer,
                                                  (size_t)ret);
    }
    if (ret == 0) {
        ret = writePems(&writer, &key, random, pem);
    }
    mbedtls_x509write_crt_free(&writer);
    mbedtls_pk_free(&key);
    return ret;
}

// A new server certificate for `names`, signed by the authority: its
// certificate and key as PEM.
static int makeServerCertificate(Credentials* authority, const Names* names, Random* random, int64_t now,
                                 HeapString* pem) {
    char issuer[1024];
    if (mbedtls_x509_dn_gets(issuer, sizeof(issuer), &authority->certificate.subject) < 0) {
        return MBEDTLS_ERR_X509_BUFFER_TOO_SMALL;
    }
    mbedtls_x509_san_list sans[NAMES_MAX + ADDRESSES_MAX];
    size_t count = 0;
    for (size_t i = 0; i < names->dnsCount; i++, count++) {
        memset(&sans[count], 0, sizeof(sans[count]));
        sans[count].node.type = MBEDTLS_X509_SAN_DNS_NAME;
        sans[count].node.san.unstructured_name.p = (unsigned char*)names->dns[i];
        sans[count].node.san.unstructured_name.len = strlen(names->dns[i]);
    }
    for (size_t i = 0; i < names->addressCount; i++, count++) {
        memset(&sans[count], 0, sizeof(sans[count]));
        sans[count].node.type = MBEDTLS_X509_SAN_IP_ADDRESS;
        sans[count].node.san.unstructured_name.p = (unsigned char*)names->addresses[i].bytes;
        sans[count].node.san.unstructured_name.len = names->addresses[i].length;
    }
    for (size_t i = 0; i + 1 < count; i++) {
        sans[i].next = &sans[i + 1];
    }
    char subject[NAME_CAPACITY + 8];
    snprintf(subject, sizeof(subject), "CN=%s", names->dns[names->dnsCount > 1 ? 1 : 0]);
    mbedtls_asn1_sequence serverAuth;
    memset(&serverAuth, 0, sizeof(serverAuth));
    serverAuth.buf.tag = MBEDTLS_ASN1_OID;
    serverAuth.buf.p = (unsigned char*)MBEDTLS_OID_SERVER_AUTH;
    serverAuth.buf.len = MBEDTLS_OID_SIZE(MBEDTLS_OID_SERVER_AUTH);

    mbedtls_pk_context key;
    mbedtls_pk_init(&key);
    mbedtls_x509write_cert writer;
    mbedtls_x509write_crt_init(&writer);
    int ret = makeKey(&key, random);
    if (ret == 0) {
        mbedtls_x509write_crt_set_version(&writer, MBEDTLS_X509_CRT_VERSION_3);
        mbedtls_x509write_crt_set_md_alg(&writer, MBEDTLS_MD_SHA256);
        mbedtls_x509write_crt_set_subject_key(&writer, &key);
        mbedtls_x509write_crt_set_issuer_key(&writer, &authority->key);
        ret = setSerial(&writer, random);
    }
    if (ret == 0) {
        ret = setValidity(&writer, now, (int64_t)SERVER_CERTIFICATE_DAYS * 86400);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_subject_name(&writer, subject);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_issuer_name(&writer, issuer);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_basic_constraints(&writer, 0, -1);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_key_usage(&writer, MBEDTLS_X509_KU_DIGITAL_SIGNATURE);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_ext_key_usage(&writer, &serverAuth);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_subject_key_identifier(&writer);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_authority_key_identifier(&writer);
    }
    if (ret == 0) {
        ret = mbedtls_x509write_crt_set_subject_alternative_name(&writer, sans);
    }
    if (ret == 0) {
        ret = writePems(&writer, &key, random, pem);
    }
    mbedtls_x509write_crt_free(&writer);
    mbedtls_pk_free(&key);
    return ret;
}

// The names a parsed certificate carries in its subject-alternative names.
static void namesOfCertificate(const mbedtls_x509_crt* certificate, Names* names) {
    memset(names, 0, sizeof(*names));
    for (const mbedtls_x509_sequence* at = &certificate->subject_alt_names; NULL != at && NULL != at->buf.p;
         at = at->next) {
        mbedtls_x509_subject_alternative_name san;
        if (0 != mbedtls_x509_parse_subject_alt_name(&at->buf, &san)) {
            continue;
        }
        const mbedtls_x509_buf* value = &san.san.unstructured_name;
        if (san.type == MBEDTLS_X509_SAN_DNS_NAME) {
            addName(names, (const char*)value->p, value->len);
        } else if (san.type == MBEDTLS_X509_SAN_IP_ADDRESS && (value->len == 4 || value->len == 16)) {
            addAddress(names, value->p, value->len, (int)value->len * 8);
        }
        mbedtls_x509_free_subject_alt_name(&san);
    }
}

// ---- The state of the running server ------------------------------------------

static struct {
    pthread_mutex_t mutex; // guards what the checking thread changes
    pthread_cond_t wake;
    bool stopping;
    bool running;
    pthread_t thread;
    Server* server;
    CertificateOptions options;
    char folder[MACHINE_PATH_CAPACITY];
    // Why the folder can be read but not written (an errno value; 0 when it
    // can be): what is in it is used, nothing is made.
    int readOnlyError;
    // A renewal that could not be written was logged; said once until one is.
    bool renewalFailureLogged;
    // The own authority and the server certificate it signed.
    bool ownAuthority;
    Credentials authority;
    HeapString authorityDER;
    Credentials current;
    // The shop's files as they were last read.
    uint64_t certificateStamp;
    uint64_t keyStamp;
} state;

static int checkIntervalMs = CERTIFICATE_CHECK_INTERVAL_MS;
static int renewDays = SERVER_CERTIFICATE_RENEW_DAYS;

void certificatesSetCheckIntervalForTesting(int milliseconds) {
    checkIntervalMs = milliseconds;
}

void certificatesSetRenewDaysForTesting(int days) {
    renewDays = days;
}

static int64_t nowSeconds(void) {
    return (int64_t)time(NULL);
}

// Moves a damaged file aside under a name with the time, so that nothing is lost.
static void setAside(const char* path, const char* why) {
    char aside[MACHINE_PATH_CAPACITY + 32];
    int length = snprintf(aside, sizeof(aside), "%s.damaged-%lld", path, (long long)nowSeconds());
    // A name cut short could be another file's: then nothing is moved.
    int error = length > 0 && (size_t)length < sizeof(aside) ? machineRenameFile(path, aside) : ENAMETOOLONG;
    printf("The file '%s' is damaged (%s) and was %s '%s'; it is made again\n", path, why,
           error == 0 ? "set aside as" : "could not be set aside as", aside);
    fflush(stdout);
}

// Hands the server the certificate; false after printing why.
static bool giveToServer(const Credentials* credentials) {
    char error[256] = "";
    if (0 != serverSetTLSCredentials(state.server, credentials->certificatePem.contents, credentials->keyPem.contents,
                                     error, sizeof(error))) {
        fprintf(stderr, "Error: The server cannot use the certificate: %s\n", error);
        fflush(stderr);
        return false;
    }
    return true;
}

// Reads the authority from the state folder, or makes it when there is none
// (or it was damaged, and then says so loudly). False after printing why.
static bool loadOrMakeAuthority(Random* random) {
    char path[MACHINE_PATH_CAPACITY + 16];
    pathInFolder(state.folder, CERTIFICATE_AUTHORITY_FILE, path, sizeof(path));
    for (int attempt = 0; attempt < 3; attempt++) {
        HeapString pem;
        int error = readWholeFile(path, &pem);
        if (error == 0) {
            const char* what = "";
            int ret = parseCredentials(pem.contents, random, &state.authority, &what);
            bool usable = ret == 0 && state.authority.certificate.MBEDTLS_PRIVATE(ca_istrue) &&
                          state.authority.permitted.dnsCount > 0 &&
                          secondsOf(&state.authority.certificate.valid_to) >
                              nowSeconds() + (int64_t)SERVER_CERTIFICATE_DAYS * 86400;
            heapStringFreeContents(&pem);
            if (usable) {
                return true;
            }
            credentialsFree(&state.authority);
            setAside(path, ret != 0 ? "it holds no readable certificate authority"
                                    : "it is not a certificate "
                                      "authority that is still valid");
            printf("NOTE: A NEW CERTIFICATE AUTHORITY REPLACES THE ONE IN '%s': every device that prints over "
                   "HTTPS must trust the new one again\n",
                   state.folder);
        } else if (error != ENOENT) {
            fprintf(stderr, "Error: Cannot read '%s': %s\n", path, strerror(error));
            return false;
        }
        heapStringFreeContents(&pem);
        HeapString made;
        heapStringInit(&made);
        int ret = makeAuthority(random, nowSeconds(), &made);
        if (ret != 0) {
            printMbedError("Error: Could not make a certificate authority", ret);
            heapStringFreeContents(&made);
            return false;
        }
        // Another process with the same folder may have made one just now: its one stays.
        error = machineWriteFileAtomically(path, made.contents, made.length, true, true);
        heapStringFreeContents(&made);
        if (error == 0) {
            printf("Made a new certificate authority in '%s': every device that prints over HTTPS must trust its "
                   "%s (served at /ca.crt)\n",
                   state.folder, CERTIFICATE_AUTHORITY_PUBLIC_FILE);
            fflush(stdout);
        } else if (error != EEXIST) {
            fprintf(stderr, "Error: Cannot write '%s': %s\n", path, strerror(error));
            return false;
        }
    }
    fprintf(stderr, "Error: The certificate authority in '%s' cannot be read back\n", path);
    return false;
}

// The authority's certificate alone, for trust stores, and as DER for /ca.crt.
static bool publishAuthority(void) {
    char path[MACHINE_PATH_CAPACITY + 16];
    pathInFolder(state.folder, CERTIFICATE_AUTHORITY_PUBLIC_FILE, path, sizeof(path));
    heapStringInit(&state.authorityDER);
    const mbedtls_x509_buf* raw = &state.authority.certificate.raw;
    for (size_t i = 0; i < raw->len; i++) {
        heapStringAppendChar(&state.authorityDER, (char)raw->p[i]);
    }
    if (state.readOnlyError != 0) {
        return true; // served at /ca.crt from memory all the same
    }
    HeapString existing;
    readWholeFile(path, &existing);
    bool same = NULL != existing.contents && 0 == strcmp(existing.contents, state.authority.certificatePem.contents);
    heapStringFreeContents(&existing);
    int error = same ? 0
                     : machineWriteFileAtomically(path, state.authority.certificatePem.contents,
                                                  state.authority.certificatePem.length, false, false);
    if (error != 0) {
        fprintf(stderr, "Error: Cannot write '%s': %s\n", path, strerror(error));
        return false;
    }
    return true;
}

// Whether the server certificate in `credentials` was signed by the
// authority, names exactly `names` and has more than the renewal time left.
static bool serverCertificateIsCurrent(const Credentials* credentials, const Names* names) {
    uint32_t flags = 0;
    if (0 != mbedtls_x509_crt_verify((mbedtls_x509_crt*)&credentials->certificate, &state.authority.certificate, NULL,
                                     NULL, &flags, NULL, NULL)) {
        return false;
    }
    Names carried;
    namesOfCertificate(&credentials->certificate, &carried);
    return sameNames(&carried, names) &&
           secondsOf(&credentials->certificate.valid_to) > nowSeconds() + (int64_t)renewDays * 86400;
}

// Makes sure state.current holds a current server certificate, reading it
// from the state folder or making it. *changed tells whether it is new.
// False after printing why.
static bool loadOrMakeServerCertificate(Random* random, bool* changed) {
    *changed = false;
    Names names;
    serverNames(&state.options, &state.authority.permitted, false, &names);
    if (NULL != state.current.certificate.raw.p && serverCertificateIsCurrent(&state.current, &names)) {
        return true;
    }
    char name[64], path[MACHINE_PATH_CAPACITY + 64];
    snprintf(name, sizeof(name), SERVER_CERTIFICATE_FILE_FORMAT, state.options.port);
    pathInFolder(state.folder, name, path, sizeof(path));
    Credentials read;
    credentialsInit(&read);
    HeapString pem;
    int error = readWholeFile(path, &pem);
    if (error == 0) {
        const char* what = "";
        if (0 != parseCredentials(pem.contents, random, &read, &what)) {
            setAside(path, "it holds no readable certificate and key");
        } else if (serverCertificateIsCurrent(&read, &names)) {
            heapStringFreeContents(&pem);
            credentialsFree(&state.current);
            state.current = read;
            *changed = true;
            return true;
        }
    }
    heapStringFreeContents(&pem);
    credentialsFree(&read);
    serverNames(&state.options, &state.authority.permitted, true, &names);
    int ret = makeServerCertificate(&state.authority, &names, random, nowSeconds(), &pem);
    if (ret == 0) {
        const char* what = "";
        ret = parseCredentials(pem.contents, random, &read, &what);
    }
    if (ret != 0) {
        printMbedError("Error: Could not make a server certificate", ret);
        heapStringFreeContents(&pem);
        credentialsFree(&read);
        return false;
    }
    error = machineWriteFileAtomically(path, pem.contents, pem.length, true, false);
    heapStringFreeContents(&pem);
    if (error != 0) {
        // A pair that is still valid serves on; a new one that is not kept
        // would be made again at every check.
        const mbedtls_x509_time* until = &state.current.certificate.valid_to;
        bool keep = NULL != state.current.certificate.raw.p && secondsOf(until) > nowSeconds();
        if (keep && !state.renewalFailureLogged) {
            printf("The server certificate cannot be made again: cannot write '%s': %s; the current one is used "
                   "until %04d-%02d-%02d\n",
                   path, strerror(error), until->year, until->mon, until->day);
            fflush(stdout);
        } else if (!keep) {
            fprintf(stderr, "Error: Cannot write '%s': %s\n", path, strerror(error));
        }
        state.renewalFailureLogged = keep;
        credentialsFree(&read);
        return false;
    }
    state.renewalFailureLogged = false;
    HeapString list;
    heapStringInit(&list);
    for (size_t i = 0; i < names.dnsCount; i++) {
        heapStringAppendFormat(&list, "%s%s", i > 0 ? ", " : "", names.dns[i]);
    }
    for (size_t i = 0; i < names.addressCount; i++) {
        char text[64];
        formatAddress(&names.addresses[i], text, sizeof(text));
        heapStringAppendFormat(&list, ", %s", text);
    }
    const mbedtls_x509_time* until = &read.certificate.valid_to;
    printf("Made a server certificate for %s, valid until %04d-%02d-%02d\n", list.contents, until->year, until->mon,
           until->day);
    fflush(stdout);
    heapStringFreeContents(&list);
    credentialsFree(&state.current);
    state.current = read;
    *changed = true;
    return true;
}

// Reads the shop's files; false after printing why (each line starting with
// `prefix`).
static bool readShopFiles(Random* random, Credentials* credentials, const char* prefix) {
    const char* paths[2] = {state.options.certificateFile, state.options.keyFile};
    HeapString contents[2];
    heapStringInit(&contents[0]);
    heapStringInit(&contents[1]);
    for (int i = 0; i < 2; i++) {
        int error = readWholeFile(paths[i], &contents[i]);
        if (error != 0) {
            fprintf(stderr, "%sCannot read '%s': %s\n", prefix, paths[i], strerror(error));
            heapStringFreeContents(&contents[0]);
            heapStringFreeContents(&contents[1]);
            return false;
        }
    }
    // The certificates first, then the key, as parseCredentials takes them.
    HeapString pem;
    heapStringInit(&pem);
    heapStringAppendFormat(&pem, "%s\n%s", contents[0].contents, contents[1].contents);
    heapStringFreeContents(&contents[0]);
    heapStringFreeContents(&contents[1]);
    const char* what = "";
    int ret = NULL == strstr(pem.contents, "-----BEGIN CERTIFICATE-----")
                  ? MBEDTLS_ERR_X509_INVALID_FORMAT
                  : parseCredentials(pem.contents, random, credentials, &what);
    heapStringFreeContents(&pem);
    char text[128] = "";
    mbedtls_strerror(ret, text, sizeof(text));
    if (ret != 0 && 0 == strcmp(what, "pair")) {
        fprintf(stderr, "%sThe key in '%s' does not belong to the certificate in '%s'\n", prefix, paths[1], paths[0]);
    } else if (ret != 0 && 0 == strcmp(what, "key")) {
        fprintf(stderr, "%s'%s' holds no private key that can be read (%s)\n", prefix, paths[1], text);
    } else if (ret != 0) {
        fprintf(stderr, "%s'%s' holds no certificate that can be read (%s)\n", prefix, paths[0], text);
    } else if (secondsOf(&credentials->certificate.valid_to) <= nowSeconds()) {
        const mbedtls_x509_time* until = &credentials->certificate.valid_to;
        fprintf(stderr, "%sThe certificate in '%s' expired on %04d-%02d-%02d\n", prefix, paths[0], until->year,
                until->mon, until->day);
        ret = -1;
    }
    fflush(stderr);
    return ret == 0;
}

// One look at what may have changed; under state.mutex.
static void checkOnce(Random* random) {
    if (state.ownAuthority) {
        bool changed = false;
        if (loadOrMakeServerCertificate(random, &changed) && changed) {
            giveToServer(&state.current);
        }
        return;
    }
    uint64_t certificateStamp = machineFileChangeStamp(state.options.certificateFile);
    uint64_t keyStamp = machineFileChangeStamp(state.options.keyFile);
    if (certificateStamp == state.certificateStamp && keyStamp == state.keyStamp) {
        return;
    }
    Credentials read;
    credentialsInit(&read);
    if (readShopFiles(random, &read, "The changed certificate files are not used: ") && giveToServer(&read)) {
        printf("Now using the certificate in '%s'\n", state.options.certificateFile);
        fflush(stdout);
        // Only a pair that was taken counts as seen: a half-renewed one is read again.
        state.certificateStamp = certificateStamp;
        state.keyStamp = keyStamp;
    }
    credentialsFree(&read);
}

static void* checkRegularly(void*) {
    Random random;
    bool seeded = randomInit(&random);
    pthread_mutex_lock(&state.mutex);
    while (!state.stopping) {
        condWaitMilliseconds(&state.wake, &state.mutex, checkIntervalMs);
        if (!state.stopping && seeded) {
            checkOnce(&random);
        }
    }
    pthread_mutex_unlock(&state.mutex);
    randomFree(&random);
    return NULL;
}

// The state folder, made owner-only; false after naming it and the reason.
static bool prepareStateFolder(const char* given) {
    if (NULL != given) {
        snprintf(state.folder, sizeof(state.folder), "%s", given);
    } else if (!machineDefaultStateFolder(state.folder, sizeof(state.folder))) {
        fprintf(stderr, "Error: No state folder can be found for this account; name one with --state-dir\n");
        return false;
    }
    char probe[MACHINE_PATH_CAPACITY + 16];
    pathInFolder(state.folder, ".writable", probe, sizeof(probe));
    int error = state.folder[0] == '\0' ? ENOENT : machineMakeOwnerOnlyFolder(state.folder);
    if (error == 0) {
        error = machineFolderIsReadable(state.folder);
    }
    int writeError = error == 0 ? machineWriteFileAtomically(probe, "", 0, true, false) : 0;
    // A folder that can be read but not written still serves what is in it.
    if (writeError == EROFS || writeError == EACCES || writeError == EPERM) {
        state.readOnlyError = writeError;
    } else if (error == 0) {
        error = writeError;
    }
    if (error != 0) {
        fprintf(stderr, "Error: The state folder '%s' cannot be used: %s\n", state.folder, strerror(error));
        return false;
    }
    if (state.readOnlyError == 0) {
        remove(probe);
    }
    return true;
}

// In a folder that cannot be written: the authority and this port's server
// certificate when both are there, readable and valid, else none (HTTPS off,
// said in one line). False only when the server refuses the pair.
static bool useCertificatesAsTheyAre(Random* random) {
    char path[MACHINE_PATH_CAPACITY + 64];
    pathInFolder(state.folder, CERTIFICATE_AUTHORITY_FILE, path, sizeof(path));
    HeapString pem;
    const char* what = "";
    bool usable = 0 == readWholeFile(path, &pem) &&
                  0 == parseCredentials(pem.contents, random, &state.authority, &what) &&
                  state.authority.certificate.MBEDTLS_PRIVATE(ca_istrue) && state.authority.permitted.dnsCount > 0;
    heapStringFreeContents(&pem);
    char name[64];
    snprintf(name, sizeof(name), SERVER_CERTIFICATE_FILE_FORMAT, state.options.port);
    pathInFolder(state.folder, name, path, sizeof(path));
    uint32_t flags = 0;
    // The verification also refuses a certificate out of its validity.
    usable = usable && 0 == readWholeFile(path, &pem) &&
             0 == parseCredentials(pem.contents, random, &state.current, &what) &&
             0 == mbedtls_x509_crt_verify(&state.current.certificate, &state.authority.certificate, NULL, NULL, &flags,
                                          NULL, NULL);
    heapStringFreeContents(&pem);
    if (!usable) {
        credentialsFree(&state.authority);
        credentialsFree(&state.current);
        state.ownAuthority = false;
        printf("HTTPS is off: the state folder '%s' is read-only (%s) and holds no certificate authority and server "
               "certificate for port %u to use; plain HTTP and raw streams are served\n",
               state.folder, strerror(state.readOnlyError), state.options.port);
        fflush(stdout);
        return true;
    }
    return publishAuthority() && giveToServer(&state.current);
}

bool certificatesStart(const CertificateOptions* options, Server* server) {
    if ((NULL == options->certificateFile) != (NULL == options->keyFile)) {
        fprintf(stderr, "Error: --tls-cert and --tls-key must be given together\n");
        return false;
    }
    pthread_mutex_init(&state.mutex, NULL);
    pthread_cond_init(&state.wake, NULL);
    state.server = server;
    state.options = *options;
    state.stopping = false;
    state.readOnlyError = 0;
    state.renewalFailureLogged = false;
    credentialsInit(&state.authority);
    credentialsInit(&state.current);
    heapStringInit(&state.authorityDER);
    if (!prepareStateFolder(options->stateFolder)) {
        return false;
    }
    Random random;
    bool ok = randomInit(&random);
    if (!ok) {
        fprintf(stderr, "Error: The system gives no randomness for keys\n");
    } else if (NULL != options->certificateFile) {
        state.ownAuthority = false;
        state.certificateStamp = machineFileChangeStamp(options->certificateFile);
        state.keyStamp = machineFileChangeStamp(options->keyFile);
        ok = readShopFiles(&random, &state.current, "Error: ") && giveToServer(&state.current);
        credentialsFree(&state.current);
    } else if (state.readOnlyError != 0) {
        state.ownAuthority = true;
        ok = useCertificatesAsTheyAre(&random);
    } else {
        state.ownAuthority = true;
        bool changed = false;
        ok = loadOrMakeAuthority(&random) && publishAuthority() && loadOrMakeServerCertificate(&random, &changed) &&
             giveToServer(&state.current);
    }
    randomFree(&random);
    fflush(stdout);
    // Without a certificate there is nothing to renew or read again.
    if (ok && (state.ownAuthority || NULL != options->certificateFile)) {
        state.running = 0 == pthread_create(&state.thread, NULL, checkRegularly, NULL);
    } else if (!ok) {
        certificatesStop();
    }
    return ok;
}

void certificatesStop(void) {
    pthread_mutex_lock(&state.mutex);
    state.stopping = true;
    pthread_cond_broadcast(&state.wake);
    pthread_mutex_unlock(&state.mutex);
    if (state.running) {
        pthread_join(state.thread, NULL);
        state.running = false;
    }
    credentialsFree(&state.authority);
    credentialsFree(&state.current);
    heapStringFreeContents(&state.authorityDER);
    state.ownAuthority = false;
}

bool certificateAuthorityCopyDER(HeapString* der) {
    // Set before the server starts and released after it stopped.
    if (!state.ownAuthority || NULL == state.authorityDER.contents) {
        return false;
    }
    heapStringAppendHeapString(der, &state.authorityDER);
    return true;
}
