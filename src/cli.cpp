// cli.cpp: the command line. Parses the options and takes exactly one path:
// help, version, the USB listing, a refusal of a bad port, listen address,
// origin or device name or of a mistyped option, the built-in test receipt,
// or the server. Every word the parser did not take is named on stderr.
#include <argtable2.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "certificates.h"
#include "device.h"
#include "escpos.h"
#include "joblog.h"
#include "platform_machine.h"
#include "printservice.h"
#include "service.h"
#include "usb.h"
#include "webserver.h"

static const unsigned int DEFAULT_PORT = 8090;
static const char* const VERSION = QUORVEL2_VERSION;

static void print_usage(void** argtable) {
    puts("Usage: quorvel2");
    arg_print_syntax(stdout, argtable, "\n\n");
}

static void print_help(void** argtable) {
    puts("Tolvane Printserver V2\n");
    print_usage(argtable);
    puts("Options:");
    arg_print_glossary(stdout, argtable, "  %-25s %s\n");
}

// Prints the built-in test receipt; the exit status.
static int printTestReceipt(void) {
    static const char test_escpos[68] = {
        0x1B, 0x40, 0x1B, 0x40,                                        // ESC @ twice
        '#',  '4',  ',',  ' ',  'D', 'a', 'l', 'm',  'o',  'r',  '\n', //
        0x1D, 0x21, 0x11,                                              // double size
        'S',  'p',  'o',  'r',  't', 'h', 'a', 'l',  'l',  'e',  '\n', //
        'T',  'i',  's',  'c',  'h', ' ', '2', '\n',                   //
        0x1D, 0x21, 0x00,                                              // normal size
        '\n',                                                          //
        '-',  ' ',  'W',  'e',  'i', 'z', 'e', 'n',  ' ',  '(',  '2',  ',',
        '3',  '0',  ' ',  'E',  'U', 'R', ')', '\n', 0x1B, 0x64, 0x03, // feed 3 lines
        0x1D, 0x56, 0x41, 0x03,                                        // cut
    };
    ssize_t num = escpos_print(printerDevicePath, 1, test_escpos, (ssize_t)sizeof(test_escpos));
    // A network printer that never acknowledged the receipt did not print it.
    return num > 0 && 0 == escpos_print(NULL, 0, NULL, 0) ? 0 : 1;
}

// A name the platform cannot open whole is refused before anything starts:
// opening it cut would print somewhere else, or nowhere.
static bool deviceNameFits(const char* device) {
    if (deviceNameIsSocket(device)) {
        // Not a path: never cut, but a malformed one would fail every job.
        char host[256];
        unsigned port = 0;
        if (!deviceSocketAddress(device, host, sizeof(host), &port)) {
            fprintf(stderr, "Warning: '%s' is not a network printer's name (socket://HOST[:PORT])\n", device);
        }
        return true;
    }
    char path[DEVICE_PATH_CAPACITY];
    if (0 == strncmp(device, "vid_", 4) || devicePathFromName(device, path, sizeof(path))) {
        return true;
    }
    fprintf(stderr, "Error: The device name '%s' is too long for this system to open\n", device);
    return false;
}

// Adds every --allow-origin value; false after naming the first malformed one.
static bool allowOrigins(const struct arg_str* argAllowOrigin) {
    for (int i = 0; i < argAllowOrigin->count; i++) {
        if (!allowOrigin(argAllowOrigin->sval[i])) {
            fprintf(stderr, "Error: --allow-origin needs an origin such as https://till.example:8443, not '%s'\n",
                    argAllowOrigin->sval[i]);
            return false;
        }
    }
    return true;
}

// Where the server listens, and where its certificate comes from.
struct ServeOptions {
    unsigned int port;
    uint32_t addressInNetworkOrder;
    CertificateOptions certificates;
};

// Listens and serves until stopped; the exit status.
static int serve(Server* server, void* context) {
    const ServeOptions* options = (const ServeOptions*)context;
    printf("Starting quorvel2 %s\n", VERSION);
    fflush(stdout);
    if (!certificatesStart(&options->certificates, server)) {
        return 1;
    }
    // The certificates made the folder; a log that cannot be written only
    // costs the keyed jobs, so the server starts all the same.
    char stateFolder[MACHINE_PATH_CAPACITY];
    snprintf(stateFolder, sizeof(stateFolder), "%s",
             NULL != options->certificates.stateFolder ? options->certificates.stateFolder : "");
    if (NULL != options->certificates.stateFolder || machineDefaultStateFolder(stateFolder, sizeof(stateFolder))) {
        jobLogOpen(stateFolder);
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = options->addressInNetworkOrder;
    address.sin_port = htons((uint16_t)options->port);
    learnThisMachinesNames();
    int status = acceptConnectionsUntilStopped(server, (const struct sockaddr*)&address, sizeof(address));
    certificatesStop();
    jobLogClose();
    return status;
}

// As a service when the system's service manager started the process (it
// then stops the server), as the console program otherwise.
static int runServer(unsigned int port, uint32_t addressInNetworkOrder, const CertificateOptions* certificates,
                     const ServerLimits* limits) {
    ServeOptions options = {port, addressInNetworkOrder, *certificates};
    options.certificates.listenAddress = addressInNetworkOrder;
    options.certificates.port = port;
    Server server = {}; // serverInit takes a zero-filled record
    serverInit(&server);
    server.limits = *limits;
    int status = serviceRun(&server, serve, &options);
    if (SERVICE_NOT_STARTED_BY_MANAGER == status) {
        status = serve(&server, &options);
    }
    serverDeInit(&server);
    return status;
}

// ---- Words the option parser did not take ----------------------------------

// The code every arg_xxx type records for one occurrence beyond its maximum.
static const int ARG_EXCESS_OCCURRENCE = 2;
// A word this many edits or fewer from a long option is taken for it mistyped.
static const size_t NEAR_MISS_EDITS = 2;

// What the reports need beyond argtable's own records.
struct ParsedLine {
    int argc;
    char** argv;
    struct arg_hdr** table;
    const struct arg_int* port; // the one option with a number
    int portInUse;
    arg_scanfn* scanString; // the scan function of every arg_str
};

// Appends `length` bytes of a word from the command line, control bytes as
// \xNN, so that each report stays one line in the service's log.
static void appendWord(std::string* line, const char* word, size_t length) {
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)word[i];
        if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            line->append(escaped);
        } else {
            line->push_back((char)c);
        }
    }
}

// The word in single quotes, escaped as appendWord does.
static std::string quoted(const char* word, size_t length) {
    std::string text = "'";
    appendWord(&text, word, length);
    return text + "'";
}

static std::string quoted(const char* word) {
    return quoted(word, strlen(word));
}

static std::string quoted(const std::string& word) {
    return quoted(word.data(), word.size());
}

// The report of a flag given a value ("--test=1"): the parser drops the word.
static std::string flagGivenAValue(const char* word) {
    return quoted(word, strcspn(word, "=")) + " takes no value; ignoring " + quoted(word);
}

// The edits (insertion, deletion, replacement, or a swap of two neighbouring
// letters) that turn a into b, letters compared in any case; any number
// above NEAR_MISS_EDITS comes back as NEAR_MISS_EDITS + 1.
static size_t editsBetween(const char* a, size_t aLength, const char* b, size_t bLength) {
    if (aLength > bLength + NEAR_MISS_EDITS || bLength > aLength + NEAR_MISS_EDITS) {
        return NEAR_MISS_EDITS + 1;
    }
    const size_t width = bLength + 1;
    std::vector<size_t> d((aLength + 1) * width);
    for (size_t i = 0; i <= aLength; i++) {
        for (size_t j = 0; j <= bLength; j++) {
            if (i == 0 || j == 0) {
                d[i * width + j] = i + j;
                continue;
            }
            size_t best = d[(i - 1) * width + j - 1] + (sameIgnoringASCIICase(a + i - 1, 1, b + j - 1, 1) ? 0 : 1);
            best = std::min(best, std::min(d[(i - 1) * width + j], d[i * width + j - 1]) + 1);
            if (i > 1 && j > 1 && sameIgnoringASCIICase(a + i - 1, 1, b + j - 2, 1) &&
                sameIgnoringASCIICase(a + i - 2, 1, b + j - 1, 1)) {
                best = std::min(best, d[(i - 2) * width + j - 2] + 1);
            }
            d[i * width + j] = best;
        }
    }
    return std::min(d[aLength * width + bLength], NEAR_MISS_EDITS + 1);
}

// One long option name as the table declares it (without the dashes).
struct LongName {
    int option; // index in the table
    const char* name;
    size_t length;
};

// Every long name of the table, in its order.
static std::vector<LongName> longNames(struct arg_hdr** table) {
    std::vector<LongName> names;
    for (int i = 0; !(table[i]->flag & ARG_TERMINATOR); i++) {
        for (const char* at = table[i]->longopts; NULL != at && '\0' != *at;) {
            size_t length = strcspn(at, ",");
            names.push_back({i, at, length});
            at += length + (',' == at[length] ? 1 : 0);
        }
    }
    return names;
}

static const int NO_OPTION = -1;
static const int SEVERAL_OPTIONS = -2;

// The table entry that `name` ("-p", "--port", "--po") stands for as the
// parser reads it: a short letter, an exact long name or the one long name it
// begins; NO_OPTION or SEVERAL_OPTIONS otherwise.
static int optionNamed(struct arg_hdr** table, const char* name, size_t length) {
    if (2 == length && '-' == name[0] && '-' != name[1]) {
        for (int i = 0; !(table[i]->flag & ARG_TERMINATOR); i++) {
            if (NULL != table[i]->shortopts && NULL != strchr(table[i]->shortopts, name[1])) {
                return i;
            }
        }
        return NO_OPTION;
    }
    if (length < 2 || 0 != strncmp(name, "--", 2)) {
        return NO_OPTION;
    }
    int found = NO_OPTION;
    for (const LongName& candidate : longNames(table)) {
        if (candidate.length >= length - 2 && 0 == memcmp(candidate.name, name + 2, length - 2)) {
            if (candidate.length == length - 2) {
                return candidate.option;
            }
            found = NO_OPTION == found || candidate.option == found ? candidate.option : SEVERAL_OPTIONS;
        }
    }
    return found;
}

// The long option closest to `word` within NEAR_MISS_EDITS, the first in
// the table's order among equals; null when none is that close.
static const LongName* nearMiss(const std::vector<LongName>& names, const char* word, size_t length) {
    const LongName* closest = NULL;
    size_t closestEdits = NEAR_MISS_EDITS + 1;
    for (const LongName& candidate : names) {
        std::string dashed = "--" + std::string(candidate.name, candidate.length);
        size_t edits = editsBetween(word, length, dashed.data(), dashed.size());
        if (edits < closestEdits) {
            closest = &candidate;
            closestEdits = edits;
        }
    }
    return closest;
}

// The option as the user typed it whose value begins at `value` (argtable
// keeps pointers into argv): "--po" of "--po=1" or "--po 1", "-p" of "-p1"
// or "-p 1"; empty when `value` is not in argv.
static std::string typedOptionOf(const ParsedLine* line, const char* value) {
    uintptr_t at = (uintptr_t)value;
    for (int i = 1; NULL != value && i < line->argc; i++) {
        const char* word = line->argv[i];
        size_t length = strlen(word);
        if (at < (uintptr_t)word || at > (uintptr_t)word + length) {
            continue;
        }
        size_t offset = at - (uintptr_t)word;
        if (0 == offset) {
            // The value is a word of its own: the option ends the word before.
            word = line->argv[i - 1];
            offset = strlen(word) + 1;
        } else if (0 != strncmp(word, "--", 2)) {
            offset++; // "-p1": the letter is just before the value
        }
        if (0 == strncmp(word, "--", 2)) {
            return std::string(word, offset - 1);
        }
        return std::string("-") + word[offset - 2];
    }
    return "";
}

// "-p" or "--name": how the table first names an option.
static std::string declaredName(const struct arg_hdr* option) {
    if (NULL != option->shortopts && '\0' != option->shortopts[0]) {
        return std::string("-") + option->shortopts[0];
    }
    return "--" + std::string(option->longopts, strcspn(option->longopts, ","));
}

// What the program goes on with for a valued option after one of its words
// was dropped: its first accepted value or its default.
static void appendValueInUse(std::string* text, const ParsedLine* line, const struct arg_hdr* option) {
    if (option == &line->port->hdr) {
        text->append("using " + std::to_string(line->portInUse));
        return;
    }
    if (option->scanfn != line->scanString) {
        text->append("using the first value or the default");
        return;
    }
    const struct arg_str* values = (const struct arg_str*)option->parent;
    if (values->count == 0) {
        text->append("using the default");
    } else if (option->maxcount > 1) {
        text->append("ignoring it");
    } else {
        text->append("using " + quoted(values->sval[0]));
    }
}

// The table index of `parent`, or NO_OPTION.
static int optionIndex(struct arg_hdr** table, const void* parent) {
    for (int i = 0; !(table[i]->flag & ARG_TERMINATOR); i++) {
        if (table[i]->parent == parent) {
            return i;
        }
    }
    return NO_OPTION;
}

// The first word not yet reported that sets flag `option` to a value
// ("--test=1", "--tes=1"); the parser keeps no word for it.
static const char* wordGivingAValue(const ParsedLine* line, int option, std::vector<bool>* reported) {
    for (int i = 1; i < line->argc; i++) {
        const char* word = line->argv[i];
        if (0 == strcmp(word, "--")) {
            break;
        }
        const char* equals = strchr(word, '=');
        if (!(*reported)[i] && NULL != equals && option == optionNamed(line->table, word, (size_t)(equals - word))) {
            (*reported)[i] = true;
            return word;
        }
    }
    return NULL;
}

// Whether `letter` stands in a word of short options ("-x", "-xp1").
static bool letterWasTyped(const ParsedLine* line, char letter) {
    for (int i = 1; i < line->argc && 0 != strcmp(line->argv[i], "--"); i++) {
        const char* word = line->argv[i];
        if ('-' == word[0] && '-' != word[1] && NULL != strchr(word + 1, letter) && '\0' != letter) {
            return true;
        }
    }
    return false;
}

// Reports every word the parser did not take, one line each on stderr, in
// the order the parser met them: unknown, ambiguous and stray words, flags
// given a value, values missing or rejected, and single-valued options given
// again (the first value stays). With refuseNearMisses, an unknown word
// within NEAR_MISS_EDITS of a long option instead refuses the whole line:
// then only those are named. False when the line is refused (also when the
// parser ran out of memory): nothing may start.
static bool reportWordsNotTaken(const ParsedLine* line, const struct arg_end* end, bool refuseNearMisses) {
    const std::vector<LongName> names = longNames(line->table);
    int entries = 0;
    while (!(line->table[entries]->flag & ARG_TERMINATOR)) {
        entries++;
    }
    std::vector<int> excess(entries, 0);
    for (int i = 0; i < end->count; i++) {
        int option = optionIndex(line->table, end->parent[i]);
        if (ARG_EXCESS_OCCURRENCE == end->error[i] && option >= 0) {
            excess[option]++;
        }
    }
    std::vector<bool> reported(line->argc, false);
    std::string warnings, refusals;
    for (int i = 0; i < end->count; i++) {
        const int error = end->error[i];
        const char* word = end->argval[i];
        const int option = optionIndex(line->table, end->parent[i]);
        std::string text;
        if (option >= 0) {
            if (NULL == word) {
                continue; // a required option missing: no option here is required
            }
            const struct arg_hdr* hdr = line->table[option];
            std::string typed = typedOptionOf(line, word);
            if (typed.empty()) {
                typed = declaredName(hdr);
            }
            if (ARG_EXCESS_OCCURRENCE == error) {
                // Flags count once however often they come; a list has its own limit.
                if (!(hdr->flag & ARG_HASVALUE) || hdr->maxcount > 1 || excess[option] == 0) {
                    continue;
                }
                int times = excess[option] + 1;
                excess[option] = 0; // one line for all of its repeats
                text =
                    quoted(typed) + " given " + (2 == times ? std::string("twice") : std::to_string(times) + " times");
            } else {
                text = quoted(typed) + " cannot take " + quoted(word);
            }
            text += "; ";
            appendValueInUse(&text, line, hdr);
        } else if (ARG_EMISSARG == error) {
            if (NULL == word || '\0' == word[0] || NULL != strchr(word, '=')) {
                continue; // an empty value, taken as given: it is checked as a value
            }
            int named = optionNamed(line->table, word, strlen(word));
            text = quoted(word) + " needs a value";
            if (named >= 0) {
                text += "; ";
                appendValueInUse(&text, line, line->table[named]);
            }
        } else if (NULL == word) {
            // The parser keeps no word here: a flag given a value comes as the
            // flag's index, an unknown letter as its code, memory it could not
            // get as ARG_EMALLOC.
            const bool aFlag = error >= 0 && error < entries && !(line->table[error]->flag & ARG_HASVALUE);
            const char* given = aFlag ? wordGivingAValue(line, error, &reported) : NULL;
            if (NULL != given) {
                text = flagGivenAValue(given);
            } else if (letterWasTyped(line, (char)error)) {
                // A letter beyond ASCII is one byte of several: shown as its code.
                char letter[5];
                snprintf(letter, sizeof(letter), (error >= ' ' && error < 0x7f) ? "%c" : "\\x%02X", error & 0xff);
                text = "ignoring unknown option '-" + std::string(letter) + "'"; // already escaped
            } else {
                fprintf(stderr, "Error: out of memory while reading the command line\n");
                return false;
            }
        } else {
            const bool isOption = ARG_ELONGOPT == error;
            const size_t nameLength = isOption ? strcspn(word, "=") : strlen(word);
            const int named = isOption ? optionNamed(line->table, word, nameLength) : NO_OPTION;
            const LongName* meant = NO_OPTION == named ? nearMiss(names, word, nameLength) : NULL;
            if (NULL != meant && refuseNearMisses) {
                refusals += "Error: unknown option " + quoted(word, nameLength) + "; did you mean '--" +
                            std::string(meant->name, meant->length) + "'?\n";
                continue;
            }
            if (named >= 0) {
                text = flagGivenAValue(word); // "--help=1": the parser keeps this one's word
            } else {
                text = SEVERAL_OPTIONS == named ? "ignoring ambiguous option "
                       : isOption               ? "ignoring unknown option "
                                                : "ignoring stray argument ";
                text += quoted(word, nameLength);
            }
        }
        warnings += "Warning: " + text + "\n";
    }
    // One write for all, so that the lines reach the service's log whole.
    if (!refusals.empty()) {
        fputs(refusals.c_str(), stderr);
        return false;
    }
    fputs(warnings.c_str(), stderr);
    return true;
}

// Room for every error the parser can record on this line (at most one per
// letter of a word, plus one per word), so that none is dropped unnamed.
// Even: arg_end puts its pointer arrays right after the int codes, and only
// an even count of those keeps the pointers aligned.
static int errorsRoomFor(int argc, char** argv) {
    size_t room = (size_t)argc + 1;
    for (int i = 1; i < argc; i++) {
        room += strlen(argv[i]);
    }
    room = std::min(room, (size_t)(INT32_MAX / 32));
    return (int)(room + room % 2);
}

int quorvel2Main(int argc, char** argv, const ServerLimits* limits) {
    struct arg_lit* argHelp = arg_lit0(NULL, "help", "Print help and exit");
    struct arg_lit* argVersion = arg_lit0(NULL, "version", "Print version and exit");
    struct arg_int* argPort = arg_int0("p", "port", "<NUM>", "TCP port number (default: 8090)");
    struct arg_str* argDevice =
        arg_str0("d", "device", "<DEV>", "Device for printing (e.g. /dev/usb/lp0 or vid_04b8 on Windows)");
    struct arg_lit* argTest = arg_lit0(NULL, "test", "Print test receipt and exit");
    struct arg_lit* argDiscover = arg_lit0(NULL, "discover", "List USB printers with their vid/pid and exit");
    struct arg_str* argListen =
        arg_str0("l", "listen", "<ADDR>", "IPv4 address to listen on (default: 0.0.0.0, every address)");
    // One more than allowed, so that one too many is seen and refused.
    struct arg_str* argAllowOrigin = arg_strn(NULL, "allow-origin", "<ORIGIN>", 0, ALLOWED_ORIGINS_MAX + 1,
                                              "Web page origin allowed to print (repeatable; default: any origin)");
    struct arg_str* argTLSCert =
        arg_str0(NULL, "tls-cert", "<FILE>", "Certificate chain (PEM) for HTTPS instead of one made here");
    struct arg_str* argTLSKey = arg_str0(NULL, "tls-key", "<FILE>", "Private key (PEM) of the --tls-cert certificate");
    struct arg_str* argStateDir =
        arg_str0(NULL, "state-dir", "<DIR>", "Folder for the certificate authority, certificates and job log");
    struct arg_end* argEnd = arg_end(errorsRoomFor(argc, argv));
    void* argtable[] = {argHelp,   argVersion,     argPort,    argDevice, argTest,     argDiscover,
                        argListen, argAllowOrigin, argTLSCert, argTLSKey, argStateDir, argEnd};
    for (void* entry : argtable) {
        if (NULL == entry) {
            fprintf(stderr, "Error: out of memory while reading the command line\n");
            return 1;
        }
    }

    arg_parse(argc, argv, argtable);

    const int portInUse = argPort->count > 0 ? argPort->ival[0] : (int)DEFAULT_PORT;
    const ParsedLine line = {argc, argv, (struct arg_hdr**)argtable, argPort, portInUse, argDevice->hdr.scanfn};
    // Help, version and the listing start nothing: a mistyped word there is only warned about.
    const bool informational = argHelp->count > 0 || argVersion->count > 0 || argDiscover->count > 0;
    int status = 0;
    if (!reportWordsNotTaken(&line, argEnd, !informational)) {
        status = 1;
    } else if (argHelp->count > 0) {
        print_help(argtable);
    } else if (argVersion->count > 0) {
        puts(VERSION);
    } else if (argDiscover->count > 0) {
        usb_discover();
    } else {
        unsigned int port = (unsigned int)portInUse;
        uint32_t listenAddress = htonl(INADDR_ANY);
        if (port == 0 || port > 65535) {
            fprintf(stderr, "Error: A valid TCP port number in range 1 .. 65535 is required\n");
            status = 1;
        } else if (argListen->count > 0 &&
                   !parseIPv4Address(argListen->sval[0], strlen(argListen->sval[0]), &listenAddress)) {
            fprintf(stderr, "Error: --listen needs an IPv4 address such as 127.0.0.1, not '%s'\n", argListen->sval[0]);
            status = 1;
        } else if (argAllowOrigin->count > ALLOWED_ORIGINS_MAX) {
            fprintf(stderr, "Error: --allow-origin may be given at most %d times\n", ALLOWED_ORIGINS_MAX);
            status = 1;
        } else if (!allowOrigins(argAllowOrigin)) {
            status = 1;
        } else if (printerDevicePath = argDevice->count > 0 ? argDevice->sval[0] : NULL,
                   NULL != printerDevicePath && printerDevicePath[0] == '\0') {
            fprintf(stderr, "Error: A valid device name is required\n");
            status = 1;
        } else if (NULL != printerDevicePath && !deviceNameFits(printerDevicePath)) {
            status = 1;
        } else if (argTest->count > 0) {
            if (NULL == printerDevicePath) {
                fprintf(stderr, "Error: --test requires a device (-d)\n");
                status = 1;
            } else {
                status = printTestReceipt();
            }
        } else {
            CertificateOptions certificates = {};
            certificates.stateFolder = argStateDir->count > 0 ? argStateDir->sval[0] : NULL;
            certificates.certificateFile = argTLSCert->count > 0 ? argTLSCert->sval[0] : NULL;
            certificates.keyFile = argTLSKey->count > 0 ? argTLSKey->sval[0] : NULL;
            status = runServer(port, listenAddress, &certificates, limits);
        }
    }
    fflush(stdout);
    // The device name points into argv, not into the table, so it outlives it.
    arg_freetable(argtable, sizeof(argtable) / sizeof(argtable[0]));
    return status;
}
