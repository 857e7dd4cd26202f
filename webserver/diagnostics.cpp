// diagnostics.cpp: a readable description of one connection (being written).
#include "internal.h"

HeapString connectionDebugStringCreate(const Connection* connection) {
    (void)connection;
    HeapString text;
    heapStringInit(&text);
    return text;
}
