// The certificate authority and the server certificate as certificatesStart
// makes them in a state folder, parsed back with Mbed TLS: what a browser
// checks (names, usage, validity, the authority's critical name
// constraints), the files' permissions, and what is kept or made again.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include <mbedtls/oid.h>
#include <mbedtls/pem.h>
#include <mbedtls/x509_crt.h>

#include "certificates.h"
#include "testsupport.h"

namespace {

using q2test::readFile;
using q2test::TempDir;
using q2test::writeFile;

// What an authority's name constraints permit, as "dns:NAME" and "ip:ADDRESS/MASK".
struct Parsed {
    mbedtls_x509_crt certificate;
    std::set<std::string> permitted;
    bool constraintsCritical = false;
    Parsed() {
        mbedtls_x509_crt_init(&certificate);
    }
    ~Parsed() {
        mbedtls_x509_crt_free(&certificate);
    }
};

std::string addressText(const unsigned char* bytes, size_t length) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(length == 4 ? AF_INET : AF_INET6, bytes, text, sizeof(text));
    return text;
}

int readConstraints(void* context, const mbedtls_x509_crt*, const mbedtls_x509_buf* oid, int critical,
                    const unsigned char* p, const unsigned char* end) {
    Parsed* parsed = (Parsed*)context;
    if (0 != MBEDTLS_OID_CMP(MBEDTLS_OID_NAME_CONSTRAINTS, oid)) {
        return -1;
    }
    parsed->constraintsCritical = critical != 0;
    unsigned char* at = (unsigned char*)p;
    size_t length = 0;
    if (0 != mbedtls_asn1_get_tag(&at, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE) ||
        0 != mbedtls_asn1_get_tag(&at, end, &length, MBEDTLS_ASN1_CONTEXT_SPECIFIC | MBEDTLS_ASN1_CONSTRUCTED)) {
        return -1;
    }
    while (at < end) {
        if (0 != mbedtls_asn1_get_tag(&at, end, &length, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE)) {
            return -1;
        }
        unsigned char* next = at + length;
        int tag = *at;
        if (0 != mbedtls_asn1_get_tag(&at, next, &length, tag)) {
            return -1;
        }
        if (tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 2)) {
            parsed->permitted.insert("dns:" + std::string((const char*)at, length));
        } else if (tag == (MBEDTLS_ASN1_CONTEXT_SPECIFIC | 7)) {
            parsed->permitted.insert("ip:" + addressText(at, length / 2) + "/" +
                                     addressText(at + length / 2, length / 2));
        } else {
            parsed->permitted.insert("other");
        }
        at = next;
    }
    return 0;
}

// Parses the first certificate of PEM text, reading name constraints as it goes.
bool parse(const std::string& pem, Parsed* parsed) {
    mbedtls_pem_context block;
    mbedtls_pem_init(&block);
    size_t used = 0;
    bool ok = 0 == mbedtls_pem_read_buffer(&block, "-----BEGIN CERTIFICATE-----", "-----END CERTIFICATE-----",
                                           (const unsigned char*)pem.c_str(), NULL, 0, &used) &&
              0 == mbedtls_x509_crt_parse_der_with_ext_cb(&parsed->certificate, block.MBEDTLS_PRIVATE(buf),
                                                          block.MBEDTLS_PRIVATE(buflen), 1, readConstraints, parsed);
    mbedtls_pem_free(&block);
    return ok;
}

std::set<std::string> alternativeNames(const mbedtls_x509_crt* certificate) {
    std::set<std::string> names;
    for (const mbedtls_x509_sequence* at = &certificate->subject_alt_names; NULL != at && NULL != at->buf.p;
         at = at->next) {
        mbedtls_x509_subject_alternative_name san;
        if (0 == mbedtls_x509_parse_subject_alt_name(&at->buf, &san)) {
            const mbedtls_x509_buf* value = &san.san.unstructured_name;
            names.insert(san.type == MBEDTLS_X509_SAN_DNS_NAME ? "dns:" + std::string((const char*)value->p, value->len)
                                                               : "ip:" + addressText(value->p, value->len));
            mbedtls_x509_free_subject_alt_name(&san);
        }
    }
    return names;
}

long long daysBetween(const mbedtls_x509_time& from, const mbedtls_x509_time& to) {
    struct tm a = {}, b = {};
    a.tm_year = from.year - 1900, a.tm_mon = from.mon - 1, a.tm_mday = from.day;
    b.tm_year = to.year - 1900, b.tm_mon = to.mon - 1, b.tm_mday = to.day;
    return (long long)(timegm(&b) - timegm(&a)) / 86400;
}

std::string hostName() {
    char name[256] = "";
    gethostname(name, sizeof(name) - 1);
    return std::string(name).substr(0, std::string(name).find('.'));
}

int modeOf(const std::string& path) {
    struct stat info;
    return 0 == stat(path.c_str(), &info) ? (int)(info.st_mode & 0777) : -1;
}

size_t filesMatching(const std::string& pattern) {
    glob_t found;
    size_t count = 0 == glob(pattern.c_str(), 0, NULL, &found) ? found.gl_pathc : 0;
    globfree(&found);
    return count;
}

// One start and stop of the certificates in `folder`; what it printed.
std::string startAndStop(const std::string& folder, uint32_t listenAddress = 0, bool* started = nullptr) {
    CertificateOptions options = {folder.c_str(), NULL, NULL, listenAddress, 8443};
    // The server module itself takes the certificate, or the start fails.
    Server server = {};
    serverInit(&server);
    testing::internal::CaptureStdout();
    bool ok = certificatesStart(&options, &server);
    if (ok) {
        certificatesStop();
    }
    serverDeInit(&server);
    if (NULL != started) {
        *started = ok;
    }
    return testing::internal::GetCapturedStdout();
}

TEST(Certificates, AuthorityAndServerCertificateAreWhatBrowsersAccept) {
    TempDir dir;
    const std::string folder = dir.path + "/state/nested";
    bool started = false;
    std::string log = startAndStop(folder, 0, &started);
    ASSERT_TRUE(started) << log;
    EXPECT_NE(std::string::npos, log.find("Made a new certificate authority in '" + folder + "'")) << log;

    // Owner-only where keys are; the authority's certificate alone for trust stores.
    EXPECT_EQ(0700, modeOf(folder));
    EXPECT_EQ(0600, modeOf(folder + "/ca.pem"));
    EXPECT_EQ(0600, modeOf(folder + "/server-8443.pem"));
    EXPECT_EQ(0644, modeOf(folder + "/ca.crt"));
    EXPECT_EQ(std::string::npos, readFile(folder + "/ca.crt").find("PRIVATE KEY"));

    Parsed authority;
    ASSERT_TRUE(parse(readFile(folder + "/ca.crt"), &authority));
    const mbedtls_x509_crt& ca = authority.certificate;
    EXPECT_TRUE(ca.MBEDTLS_PRIVATE(ca_istrue));
    EXPECT_EQ(1, ca.MBEDTLS_PRIVATE(max_pathlen)) << "path length 0 is stored as 1";
    EXPECT_EQ(MBEDTLS_X509_KU_KEY_CERT_SIGN | MBEDTLS_X509_KU_CRL_SIGN, (int)ca.MBEDTLS_PRIVATE(key_usage));
    EXPECT_EQ(MBEDTLS_MD_SHA256, ca.MBEDTLS_PRIVATE(sig_md));
    EXPECT_EQ(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(ca.pk)->MBEDTLS_PRIVATE(grp).id);
    long long caDays = daysBetween(ca.valid_from, ca.valid_to);
    EXPECT_TRUE(caDays >= 3652 && caDays <= 3653) << caDays;
    EXPECT_TRUE(authority.constraintsCritical);
    const std::set<std::string> permitted = {"dns:localhost",
                                             "dns:" + hostName(),
                                             "dns:local",
                                             "ip:127.0.0.0/255.0.0.0",
                                             "ip:10.0.0.0/255.0.0.0",
                                             "ip:172.16.0.0/255.240.0.0",
                                             "ip:192.168.0.0/255.255.0.0",
                                             "ip:169.254.0.0/255.255.0.0",
                                             "ip:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
                                             "ip:fc00::/fe00::",
                                             "ip:fe80::/ffc0::"};
    EXPECT_EQ(permitted, authority.permitted);

    Parsed server;
    ASSERT_TRUE(parse(readFile(folder + "/server-8443.pem"), &server));
    const mbedtls_x509_crt& leaf = server.certificate;
    uint32_t flags = 0;
    EXPECT_EQ(0, mbedtls_x509_crt_verify(&server.certificate, &authority.certificate, NULL, NULL, &flags, NULL, NULL))
        << flags;
    EXPECT_EQ(0, mbedtls_x509_crt_check_extended_key_usage(&leaf, MBEDTLS_OID_SERVER_AUTH,
                                                           MBEDTLS_OID_SIZE(MBEDTLS_OID_SERVER_AUTH)));
    EXPECT_FALSE(leaf.MBEDTLS_PRIVATE(ca_istrue));
    EXPECT_EQ(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(leaf.pk)->MBEDTLS_PRIVATE(grp).id);
    EXPECT_LE(daysBetween(leaf.valid_from, leaf.valid_to), 397);
    EXPECT_GT(daysBetween(leaf.valid_from, leaf.valid_to), 390);
    // Every name of the machine that the authority may vouch for, and only those.
    std::set<std::string> names = alternativeNames(&leaf);
    const std::vector<std::string> fixed = {"dns:localhost", "dns:" + hostName(), "dns:" + hostName() + ".local",
                                            "ip:127.0.0.1", "ip:::1"};
    for (const std::string& name : fixed) {
        EXPECT_EQ(1u, names.count(name)) << name;
    }
    for (const std::string& name : names) {
        bool inside = name.rfind("dns:", 0) == 0 || name.rfind("ip:127.", 0) == 0 || name.rfind("ip:10.", 0) == 0 ||
                      name.rfind("ip:192.168.", 0) == 0 || name.rfind("ip:172.", 0) == 0 ||
                      name.rfind("ip:169.254.", 0) == 0 || name == "ip:::1" || name.rfind("ip:fd", 0) == 0 ||
                      name.rfind("ip:fc", 0) == 0 || name.rfind("ip:fe80:", 0) == 0;
        EXPECT_TRUE(inside) << name << " is outside the authority's constraints";
    }
}

TEST(Certificates, KeptAcrossStartsAndMadeAgainWhenDamagedOrTheAddressChanges) {
    TempDir dir;
    const std::string folder = dir.path + "/state";
    uint32_t first = 0, second = 0;
    inet_pton(AF_INET, "127.0.0.2", &first);
    inet_pton(AF_INET, "127.0.0.3", &second);
    startAndStop(folder, first);
    const std::string authority = readFile(folder + "/ca.pem");
    const std::string server = readFile(folder + "/server-8443.pem");
    Parsed made;
    ASSERT_TRUE(parse(server, &made));
    EXPECT_EQ((std::set<std::string>{"dns:localhost", "dns:" + hostName(), "dns:" + hostName() + ".local",
                                     "ip:127.0.0.1", "ip:::1", "ip:127.0.0.2"}),
              alternativeNames(&made.certificate));

    struct Case {
        const char* what;
        std::function<void()> change;
        uint32_t listen;
        bool newAuthority;
        bool newServerCertificate;
        const char* logged;
    };
    const Case cases[] = {
        {"nothing changed", [] {}, first, false, false, ""},
        {"another listen address", [] {}, second, false, true, "Made a server certificate for localhost"},
        {"a damaged server certificate", [&] { writeFile(folder + "/server-8443.pem", "garbage"); }, second, false,
         true, "is damaged (it holds no readable certificate and key) and was set aside as"},
        {"a damaged authority", [&] { writeFile(folder + "/ca.pem", "-----BEGIN CERTIFICATE-----\nAAAA\n"); }, second,
         true, true, "NOTE: A NEW CERTIFICATE AUTHORITY REPLACES THE ONE IN '"},
    };
    std::string lastAuthority = authority, lastServer = server;
    for (const Case& c : cases) {
        c.change();
        bool started = false;
        std::string log = startAndStop(folder, c.listen, &started);
        EXPECT_TRUE(started) << c.what << log;
        std::string nowAuthority = readFile(folder + "/ca.pem"), nowServer = readFile(folder + "/server-8443.pem");
        EXPECT_EQ(c.newAuthority, nowAuthority != lastAuthority) << c.what;
        EXPECT_EQ(c.newServerCertificate, nowServer != lastServer) << c.what;
        EXPECT_NE(std::string::npos, log.find(c.logged)) << c.what << ": " << log;
        lastAuthority = nowAuthority;
        lastServer = nowServer;
    }
    EXPECT_EQ(2u, filesMatching(folder + "/*.damaged-*")) << "what was damaged is kept aside";
}

} // namespace
