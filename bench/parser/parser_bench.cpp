// Throughput of requestParse for what a browser page sends to print: a
// POST with a head of about 400 bytes and a 1 KiB ESC/POS body. Each
// iteration starts from a zero-filled record, as every connection does, and
// releases the body block, so the figures are per complete request.
// Run with --benchmark_format=json for machine-readable output.
#include <benchmark/benchmark.h>
#include <string.h>

#include <string>

#include "internal.h"

// The module links against the application's callbacks; the parser never
// calls them.
Response* createResponseForRequest(const Request*, Connection*) {
    return NULL;
}
bool onEscposRequest(unsigned int, const char*, ssize_t) {
    return true;
}
bool escposJobIsWaitingForPrinter(void) {
    return false;
}

bool escposStreamIsBetweenReceipts(void) {
    return false;
}

namespace {

std::string browserPost() {
    std::string body;
    for (int i = 0; body.size() < 1024; i++) {
        body += "\x1b"
                "a\x01"
                "Receipt line " +
                std::to_string(i) + "\n";
    }
    body.resize(1024);
    std::string head = "POST /escpos HTTP/1.1\r\n"
                       "Host: 127.0.0.1:8090\r\n"
                       "Connection: keep-alive\r\n"
                       "Content-Length: 1024\r\n"
                       "sec-ch-ua-platform: \"Windows\"\r\n"
                       "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like "
                       "Gecko) Chrome/120.0.0.0 Safari/537.36\r\n"
                       "Content-Type: application/octet-stream\r\n"
                       "Accept: */*\r\n"
                       "Origin: http://localhost:3000\r\n"
                       "Referer: http://localhost:3000/\r\n"
                       "Accept-Encoding: gzip, deflate, br\r\n"
                       "Accept-Language: en-US,en;q=0.9\r\n"
                       "\r\n";
    return head + body;
}

void reportRates(benchmark::State& state, size_t requestBytes) {
    const double requests = (double)state.iterations();
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (int64_t)requestBytes);
    state.counters["MB_per_s"] = benchmark::Counter(requests * (double)requestBytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["requests_per_s"] = benchmark::Counter(requests, benchmark::Counter::kIsRate);
    state.counters["request_bytes"] = (double)requestBytes;
}

void parseInFragments(benchmark::State& state, size_t fragmentLength) {
    const std::string input = browserPost();
    Request* request = (Request*)calloc(1, sizeof(Request));
    for (auto _ : state) {
        memset(request, 0, sizeof(Request));
        for (size_t offset = 0; offset < input.size(); offset += fragmentLength) {
            size_t length = input.size() - offset < fragmentLength ? input.size() - offset : fragmentLength;
            requestParse(request, input.data() + offset, length);
        }
        if (request->state != RequestParseStateDone || request->body.length != 1024) {
            state.SkipWithError("the request did not complete");
            break;
        }
        benchmark::DoNotOptimize(request->body.contents);
        requestFreeBody(request); // its share of the body memory budget too
    }
    requestFreeBody(request);
    free(request);
    reportRates(state, input.size());
}

void BM_ParseBrowserPostWhole(benchmark::State& state) {
    parseInFragments(state, (size_t)-1 / 2);
}

void BM_ParseBrowserPostBytewise(benchmark::State& state) {
    parseInFragments(state, 1);
}

BENCHMARK(BM_ParseBrowserPostWhole);
BENCHMARK(BM_ParseBrowserPostBytewise);

} // namespace

BENCHMARK_MAIN();
