// jobroutes.cpp: the job log as pages read it. GET /jobs lists the latest
// jobs and GET /jobs/<id> shows one, as JSON; a browser that prefers HTML
// gets a small page for the shop's staff: the printer's state, the latest
// jobs, and where the certificate authority for tablets comes from.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "escpos.h"
#include "joblog.h"
#include "printservice.h"
#include "webserver.h"

// Jobs on the page, and how often it loads itself again.
static const size_t JOBS_PAGE_ROWS = 50;
static const int JOBS_PAGE_REFRESH_SECONDS = 5;

static Response* jobsReply(int code, const char* status, const char* type, const char* cors, const std::string& body) {
    Response* response = responseAlloc(code, status, type, 0);
    HeapString headers;
    heapStringInit(&headers);
    heapStringAppendString(&headers, cors);
    heapStringAppendString(&headers, "Cache-Control: no-store\r\n");
    response->extraHeaders = strdup(headers.contents);
    heapStringFreeContents(&headers);
    heapStringSetToCString(&response->body, body.c_str());
    return response;
}

static bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// The q value the Accept header gives `type` through its most specific
// range (the type itself, its main type with /*, or */*): 0 when none matches.
static double acceptQuality(const Header* accept, const char* type) {
    const char* at = accept->value.contents;
    const char* end = at + accept->value.length;
    size_t mainLength = strchr(type, '/') - type + 1;
    int bestSpecificity = -1;
    double quality = 0;
    while (at < end) {
        const char* elementEnd = (const char*)memchr(at, ',', (size_t)(end - at));
        elementEnd = NULL == elementEnd ? end : elementEnd;
        while (at < elementEnd && isBlank(*at)) {
            at++;
        }
        const char* rangeEnd = at;
        while (rangeEnd < elementEnd && *rangeEnd != ';' && !isBlank(*rangeEnd)) {
            rangeEnd++;
        }
        std::string range(at, rangeEnd);
        int specificity = -1;
        if (sameIgnoringASCIICase(range.data(), range.size(), type, strlen(type))) {
            specificity = 2;
        } else if (range.size() == mainLength + 1 && range.back() == '*' &&
                   sameIgnoringASCIICase(range.data(), mainLength, type, mainLength)) {
            specificity = 1;
        } else if (range == "*/*") {
            specificity = 0;
        }
        if (specificity > bestSpecificity) {
            std::string parameters(rangeEnd, elementEnd);
            size_t q = parameters.find("q=");
            bestSpecificity = specificity;
            quality = std::string::npos == q ? 1.0 : atof(parameters.c_str() + q + 2);
        }
        at = elementEnd + 1;
    }
    return quality;
}

static bool prefersHTML(const Request* request) {
    const Header* accept = headerInRequest("Accept", request);
    return NULL != accept && acceptQuality(accept, "text/html") > acceptQuality(accept, "application/json");
}

// The value of ?limit=: JOBLOG_LISTED_DEFAULT without one, at most
// JOBLOG_RECENT_MAX; 0 when it is not a positive number.
static size_t limitOf(const char* path) {
    const char* query = strchr(path, '?');
    for (const char* at = query; NULL != at; at = strchr(at + 1, '&')) {
        if (0 == strncmp(at + 1, "limit=", 6)) {
            const char* digits = at + 7;
            size_t value = 0;
            size_t count = strspn(digits, "0123456789");
            if (count == 0 || (digits[count] != '\0' && digits[count] != '&')) {
                return 0;
            }
            for (size_t i = 0; i < count && value <= JOBLOG_RECENT_MAX; i++) {
                value = value * 10 + (size_t)(digits[i] - '0');
            }
            return value > JOBLOG_RECENT_MAX ? JOBLOG_RECENT_MAX : value;
        }
    }
    return JOBLOG_LISTED_DEFAULT;
}

// The text as HTML, without its trailing line break.
static void appendEscaped(std::string* html, const std::string& text) {
    size_t length = text.size();
    while (length > 0 && text[length - 1] == '\n') {
        length--;
    }
    for (size_t i = 0; i < length; i++) {
        switch (text[i]) {
        case '&':
            *html += "&amp;";
            break;
        case '<':
            *html += "&lt;";
            break;
        case '>':
            *html += "&gt;";
            break;
        case '"':
            *html += "&quot;";
            break;
        default:
            *html += text[i];
        }
    }
}

static std::string jobsPage(void) {
    PrinterStatus status = escposAskStatus(printerDevicePath);
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><meta http-equiv=\"refresh\" content=\"" +
                       std::to_string(JOBS_PAGE_REFRESH_SECONDS) +
                       "\"><title>quorvel2: print jobs</title><style>body{font-family:sans-serif;margin:1em}"
                       "table{border-collapse:collapse}td,th{border:1px solid #aaa;padding:2px 6px;text-align:left}"
                       "</style></head><body>\n<h1>Print jobs</h1>\n<p>Printer: <b id=\"printer\">";
    html += escposStateName(escposConditionOf(&status).state);
    html += "</b></p>\n";
    const char* problem = jobLogProblem();
    if (NULL != problem) {
        html += "<p id=\"joblog\">";
        appendEscaped(&html, problem);
        html += "</p>\n";
    }
    html += "<table id=\"jobs\"><tr><th>Received (UTC)</th><th>Job</th><th>Source</th><th>Bytes</th>"
            "<th>Printed</th><th>Result</th><th>Printer</th></tr>\n";
    for (const JobRecord& job : jobsLatest(JOBS_PAGE_ROWS)) {
        std::string result = job.result.empty() ? "running" : job.result;
        if (job.status != 0) {
            result += " (" + std::to_string(job.status) + ")";
        }
        if (!job.reason.empty()) {
            result += ": " + job.reason;
        }
        const std::string cells[] = {isoTimeUTC(job.receivedMs),
                                     job.id,
                                     job.kind + " " + job.peer + (job.origin.empty() ? "" : " " + job.origin),
                                     std::to_string(job.bytesReceived),
                                     std::to_string(job.bytesPrinted),
                                     result,
                                     job.printer};
        html += "<tr>";
        for (const std::string& cell : cells) {
            html += "<td>";
            appendEscaped(&html, cell);
            html += "</td>";
        }
        html += "</tr>\n";
    }
    html += "</table>\n<p>Tablets and phones print over HTTPS once they trust this till's own certificate "
            "authority: open <a href=\"/ca.crt\">/ca.crt</a> on the device, install it and turn on full trust "
            "for it.</p>\n</body></html>\n";
    return html;
}

Response* jobsAnswer(const Request* request, const char* CORS) {
    const char* path = request->path;
    if (0 == strncmp(path, "/jobs/", 6)) {
        std::string id(path + 6, strcspn(path + 6, "?"));
        std::string json;
        if (!jobAsJSON(id, &json)) {
            return jobsReply(404, "Not Found", "text/plain", CORS, "No job with this id is kept.\n");
        }
        return jobsReply(200, "OK", "application/json", CORS, json);
    }
    if (prefersHTML(request)) {
        return jobsReply(200, "OK", "text/html", CORS, jobsPage());
    }
    size_t limit = limitOf(path);
    if (limit == 0) {
        return jobsReply(400, "Bad Request", "text/plain", CORS, "The limit must be a number from 1 to 1000.\n");
    }
    return jobsReply(200, "OK", "application/json", CORS, jobsAsJSON(limit));
}
