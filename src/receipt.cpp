// receipt.cpp: the receipt boundary scan. Printer commands are read with
// their argument counts and data lengths as the printer reads them; a
// command this scan does not know is taken as one that prints and has no
// arguments, so that a stream using it is never taken to stand between
// receipts before its next cut.
#include "receipt.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const uint8_t NUL = 0x00;
const uint8_t DLE = 0x10;
const uint8_t ESC = 0x1B;
const uint8_t FS = 0x1C;
const uint8_t GS = 0x1D;

// The four prefixes as bits of a word: one test per byte of text.
const uint32_t PREFIX_BITS = 1u << DLE | 1u << ESC | 1u << FS | 1u << GS;

bool isPrefix(uint8_t c) {
    return c <= GS && (PREFIX_BITS >> c & 1) != 0;
}

// A set of bytes, made at compile time: a lookup where a search of a string
// would run for every byte of a command.
struct ByteSet {
    uint64_t words[4];
};

constexpr ByteSet byteSetOf(const char* members) {
    ByteSet set{{0, 0, 0, 0}};
    for (; *members != '\0'; members++) {
        const uint8_t c = (uint8_t)*members;
        set.words[c >> 6] |= (uint64_t)1 << (c & 63);
    }
    return set;
}

bool inSet(const ByteSet& set, uint8_t c) {
    return (set.words[c >> 6] >> (c & 63) & 1) != 0;
}

// The functions of each prefix that take one argument and no data.
constexpr ByteSet ESC_ONE_ARGUMENT = byteSetOf(" !%-3=?EGJKMRTUVadertu{");
constexpr ByteSet GS_ONE_ARGUMENT = byteSetOf("!/BEHITabfhjrw");
constexpr ByteSet FS_ONE_ARGUMENT = byteSetOf("!-CWq");

// Where the scan stands.
enum Phase : uint8_t {
    PHASE_TEXT,        // between commands: text, line feeds, a command's prefix
    PHASE_FUNCTION,    // after a prefix
    PHASE_ARGUMENTS,   // in a command's arguments
    PHASE_DATA,        // in a command's data of known length
    PHASE_DATA_TO_NUL, // in a command's data that ends at a NUL
    PHASE_RECORD,      // in the head of one record of a command's data
};

// Record heads go after the command's own arguments, which the records' lengths still need.
const uint8_t RECORD_HEAD_AT = 4;
// The longest data that ends at a NUL: tab positions, a barcode's characters.
const uint64_t TAB_POSITIONS_MAX = 33;
const uint64_t BARCODE_CHARACTERS_MAX = 256;
// A kanji character defined with FS 2: 24 by 24 dots.
const uint64_t KANJI_PATTERN_BYTES = 72;

// What a whole command does to the receipt.
enum Effect {
    PRINTS,         // prints or sets up what the receipt prints next
    PRINTS_NOTHING, // asks for status, kicks the drawer
    ENDS_RECEIPT,   // cuts, or initialises the printer
};

Effect effectOf(uint8_t prefix, uint8_t function) {
    switch (prefix) {
    case DLE:
        return function == 0x04 || function == 0x05 || function == 0x14 ? PRINTS_NOTHING : PRINTS;
    case ESC:
        if (function == '@' || function == 'i' || function == 'm') {
            return ENDS_RECEIPT;
        }
        return function == 'p' || function == 'u' || function == 'v' ? PRINTS_NOTHING : PRINTS;
    case GS:
        if (function == 'V') {
            return ENDS_RECEIPT;
        }
        return function == 'r' || function == 'I' || function == 'a' || function == 'j' ? PRINTS_NOTHING : PRINTS;
    default:
        return PRINTS;
    }
}

// The arguments the command takes before its data, as far as the ones seen
// so far tell (some commands take more for some first arguments).
uint8_t argumentCount(const ReceiptScan* scan) {
    const uint8_t first = scan->arguments[0];
    const bool firstSeen = scan->argumentsSeen > 0;
    switch (scan->prefix) {
    case DLE:
        switch (scan->function) {
        case 0x04: // DLE EOT n, and a for n 7 and 8
            return firstSeen && (first == 7 || first == 8) ? 2 : 1;
        case 0x05: // DLE ENQ n
            return 1;
        case 0x14: // DLE DC4 fn ...
            if (!firstSeen) {
                return 1;
            }
            return first == 1 || first == 2 ? 3 : first == 3 ? 6 : first == 7 ? 2 : first == 8 ? 8 : 1;
        default:
            return 0;
        }
    case ESC:
        if (inSet(ESC_ONE_ARGUMENT, scan->function)) {
            return 1;
        }
        switch (scan->function) {
        case '$':
        case '\\':
        case 'c':
            return 2;
        case '*': // m nL nH
        case '&': // y c1 c2
        case '(': // fn pL pH
        case 'p': // m t1 t2
            return 3;
        case 'W':
            return 8;
        default:
            return 0;
        }
    case GS:
        if (inSet(GS_ONE_ARGUMENT, scan->function)) {
            return 1;
        }
        switch (scan->function) {
        case 'V': // m, and a feed n for the forms that feed first
            return firstSeen &&
                           (first == 65 || first == 66 || first == 97 || first == 98 || first == 103 || first == 104)
                       ? 2
                       : 1;
        case 'k': // m, and a length n for the forms that give one
            return firstSeen && first >= 65 ? 2 : 1;
        case '$':
        case 'L':
        case 'P':
        case 'W':
        case '\\':
        case '*': // x y
            return 2;
        case '(': // fn pL pH
        case '^':
        case 'z':
            return 3;
        case 'g':
            return 4;
        case '8': // fn p1 p2 p3 p4
            return 5;
        case 'v': // 0 m xL xH yL yH
            return 6;
        default:
            return 0;
        }
    case FS:
        if (inSet(FS_ONE_ARGUMENT, scan->function)) {
            return 1;
        }
        return scan->function == 'S' || scan->function == 'p' || scan->function == '2' ? 2
               : scan->function == '('                                                 ? 3
                                                                                       : 0;
    default:
        return 0;
    }
}

uint64_t littleEndian(const uint8_t* bytes, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; i--) {
        value = value << 8 | bytes[i];
    }
    return value;
}

// What a whole command did to the receipt.
void applyEffect(ReceiptScan* scan, Effect effect) {
    if (effect != PRINTS_NOTHING) {
        scan->printedSinceEnd = effect == PRINTS;
        scan->printedAny = scan->printedAny || effect == PRINTS;
    }
}

void finishCommand(ReceiptScan* scan) {
    applyEffect(scan, effectOf(scan->prefix, scan->function));
    scan->phase = PHASE_TEXT;
}

// The data of a command, or of its last record, has been read.
void endData(ReceiptScan* scan) {
    if (scan->recordsLeft > 0) {
        scan->phase = PHASE_RECORD;
        scan->argumentsSeen = RECORD_HEAD_AT;
    } else {
        finishCommand(scan);
    }
}

uint8_t recordHeadLength(const ReceiptScan* scan) {
    return scan->prefix == ESC ? 1 : 4; // ESC &: x; FS q: xL xH yL yH
}

// The head of a record has been read: its data follows.
void startRecordData(ReceiptScan* scan) {
    const uint8_t* head = scan->arguments + RECORD_HEAD_AT;
    scan->recordsLeft--;
    scan->dataLeft = scan->prefix == ESC ? (uint64_t)scan->arguments[0] * head[0]
                                         : littleEndian(head, 2) * littleEndian(head + 2, 2) * 8;
    scan->phase = PHASE_DATA;
    if (scan->dataLeft == 0) {
        endData(scan);
    }
}

// The arguments have been read: whatever data they announce follows.
void startData(ReceiptScan* scan) {
    const uint8_t* a = scan->arguments;
    const uint8_t function = scan->function;
    scan->phase = PHASE_DATA;
    scan->dataLeft = 0;
    scan->recordsLeft = 0;
    if (function == '(') { // ESC (, GS ( and FS (: fn pL pH
        scan->dataLeft = littleEndian(a + 1, 2);
    } else if (scan->prefix == ESC) {
        if (function == '*') { // m nL nH: 8-dot columns take one byte each, 24-dot ones three
            scan->dataLeft = littleEndian(a + 1, 2) * (a[0] >= 32 ? 3 : 1);
        } else if (function == '&') { // y c1 c2, then per character x and y * x bytes
            scan->recordsLeft = a[2] >= a[1] ? (uint32_t)(a[2] - a[1] + 1) : 0;
        } else if (function == 'D') {
            scan->phase = PHASE_DATA_TO_NUL;
            scan->dataLeft = TAB_POSITIONS_MAX;
        }
    } else if (scan->prefix == GS) {
        if (function == '*') {
            scan->dataLeft = (uint64_t)a[0] * a[1] * 8;
        } else if (function == 'v') {
            scan->dataLeft = littleEndian(a + 2, 2) * littleEndian(a + 4, 2);
        } else if (function == '8') {
            scan->dataLeft = littleEndian(a + 1, 4);
        } else if (function == 'k' && a[0] >= 65) {
            scan->dataLeft = a[1];
        } else if (function == 'k') {
            scan->phase = PHASE_DATA_TO_NUL;
            scan->dataLeft = BARCODE_CHARACTERS_MAX;
        }
    } else if (scan->prefix == FS) {
        if (function == 'q') { // n images, each xL xH yL yH and its dots
            scan->recordsLeft = a[0];
        } else if (function == '2') {
            scan->dataLeft = KANJI_PATTERN_BYTES;
        }
    }
    if (scan->phase == PHASE_DATA && scan->dataLeft == 0) {
        endData(scan);
    }
}

void scanByte(ReceiptScan* scan, uint8_t c) {
    switch (scan->phase) {
    case PHASE_TEXT: // the caller has read the text up to this prefix
        scan->prefix = c;
        scan->phase = PHASE_FUNCTION;
        return;
    case PHASE_FUNCTION:
        scan->function = c;
        scan->argumentsSeen = 0;
        scan->arguments[0] = 0;
        scan->phase = PHASE_ARGUMENTS;
        if (argumentCount(scan) == 0) {
            startData(scan);
        }
        return;
    case PHASE_ARGUMENTS:
        scan->arguments[scan->argumentsSeen++] = c;
        if (scan->argumentsSeen >= argumentCount(scan)) {
            startData(scan);
        }
        return;
    case PHASE_DATA_TO_NUL:
        if (c == NUL || --scan->dataLeft == 0) {
            finishCommand(scan);
        }
        return;
    case PHASE_RECORD:
        scan->arguments[scan->argumentsSeen++] = c;
        if (scan->argumentsSeen == RECORD_HEAD_AT + recordHeadLength(scan)) {
            startRecordData(scan);
        }
        return;
    case PHASE_DATA:
        return; // skipped in bulk by the caller
    }
}

// Whole commands of fixed length: most of a receipt's commands (ESC a n,
// ESC E n, ESC @...) are read in one step when all their bytes have come,
// where the byte step would go through every phase. An entry holds a
// command's length after its function and its effect, or SLOW for one whose
// length its arguments or data decide.
const uint8_t SLOW = 0xFF;

struct QuickCommands {
    uint8_t entries[4][256]; // ESC, FS, GS, DLE
};

unsigned quickIndexOf(uint8_t prefix) {
    return prefix == DLE ? 3 : (unsigned)(prefix - ESC);
}

// Worked out from the byte step itself, so the two cannot disagree: a
// command is quick when its argument count never depends on its first
// argument and, with every argument at its highest, no data follows.
QuickCommands makeQuickCommands() {
    QuickCommands quick;
    const uint8_t prefixes[4] = {ESC, FS, GS, DLE};
    for (unsigned p = 0; p < 4; p++) {
        for (unsigned f = 0; f < 256; f++) {
            ReceiptScan scan;
            memset(&scan, 0, sizeof(scan));
            scan.prefix = prefixes[p];
            scan.function = (uint8_t)f;
            const uint8_t count = argumentCount(&scan);
            bool fixed = true;
            scan.argumentsSeen = 1;
            for (unsigned first = 0; first < 256 && fixed; first++) {
                scan.arguments[0] = (uint8_t)first;
                fixed = argumentCount(&scan) == count;
            }
            memset(&scan, 0, sizeof(scan));
            scanByte(&scan, prefixes[p]);
            scanByte(&scan, (uint8_t)f);
            for (uint8_t i = 0; i < count && scan.phase == PHASE_ARGUMENTS; i++) {
                scanByte(&scan, 0xFF);
            }
            quick.entries[p][f] =
                fixed && scan.phase == PHASE_TEXT ? (uint8_t)(count | effectOf(prefixes[p], (uint8_t)f) << 4) : SLOW;
        }
    }
    return quick;
}

const QuickCommands& quickCommands() {
    static const QuickCommands quick = makeQuickCommands();
    return quick;
}

// Reads the whole command at bytes[at] (a prefix) when it is quick and all
// of it has come; the bytes it took, or 0 for the byte step.
size_t takeQuickCommand(ReceiptScan* scan, const QuickCommands& quick, const uint8_t* bytes, size_t at, size_t length) {
    if (length - at < 2) {
        return 0;
    }
    const uint8_t entry = quick.entries[quickIndexOf(bytes[at])][bytes[at + 1]];
    const size_t taken = 2 + (size_t)(entry & 0x0F);
    if (entry == SLOW || length - at < taken) {
        return 0;
    }
    applyEffect(scan, (Effect)(entry >> 4));
    return taken;
}

} // namespace

void receiptScanStart(ReceiptScan* scan) {
    memset(scan, 0, sizeof(*scan));
    scan->phase = PHASE_TEXT;
}

void receiptScanFeed(ReceiptScan* scan, const char* bytes, size_t length) {
    const QuickCommands& quick = quickCommands();
    size_t at = 0;
    while (at < length) {
        if (scan->phase == PHASE_DATA) {
            uint64_t take = scan->dataLeft < length - at ? scan->dataLeft : length - at;
            at += (size_t)take;
            scan->dataLeft -= take;
            if (scan->dataLeft == 0) {
                endData(scan);
            }
            continue;
        }
        if (scan->phase == PHASE_TEXT) {
            // Text runs long between commands: up to the next prefix, all
            // that matters is whether a byte other than NUL came.
            uint8_t printed = 0;
#if defined(__SSE2__)
            // Sixteen bytes at a time, up to the block that holds a prefix
            // and within it straight to the prefix.
            const __m128i dle = _mm_set1_epi8((char)DLE), esc = _mm_set1_epi8((char)ESC);
            const __m128i fs = _mm_set1_epi8((char)FS), gs = _mm_set1_epi8((char)GS);
            const __m128i zero = _mm_setzero_si128();
            while (length - at >= 16) {
                const __m128i block = _mm_loadu_si128((const __m128i*)(bytes + at));
                const __m128i prefixes =
                    _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, dle), _mm_cmpeq_epi8(block, esc)),
                                 _mm_or_si128(_mm_cmpeq_epi8(block, fs), _mm_cmpeq_epi8(block, gs)));
                const unsigned prefixLanes = (unsigned)_mm_movemask_epi8(prefixes);
                const unsigned printingLanes = ~(unsigned)_mm_movemask_epi8(_mm_cmpeq_epi8(block, zero)) & 0xFFFF;
                if (prefixLanes == 0) {
                    printed |= printingLanes != 0 ? 1 : 0;
                    at += 16;
                    continue;
                }
                const unsigned before = (unsigned)__builtin_ctz(prefixLanes);
                printed |= (printingLanes & ((1u << before) - 1)) != 0 ? 1 : 0;
                at += before;
                break;
            }
#endif
            while (at < length && !isPrefix((uint8_t)bytes[at])) {
                printed |= (uint8_t)bytes[at++];
            }
            if (printed != 0) {
                scan->printedSinceEnd = true;
                scan->printedAny = true;
            }
            if (at == length) {
                break;
            }
            const size_t taken = takeQuickCommand(scan, quick, (const uint8_t*)bytes, at, length);
            if (taken > 0) {
                at += taken;
                continue;
            }
        }
        scanByte(scan, (uint8_t)bytes[at++]);
    }
}

bool receiptScanAtBoundary(const ReceiptScan* scan) {
    return scan->phase == PHASE_TEXT && !scan->printedSinceEnd;
}
