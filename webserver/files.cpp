// files.cpp: static file serving. Maps a request under a URL prefix to a
// path below a document root, answers with a file, an index.html, a
// directory listing or an error page, and streams file responses through
// the connection's fixed buffer.
#include <stdlib.h>
#include <string.h>

#include "internal.h"

enum PathState : uint32_t {
    PathStateNormal = 0,
    PathStateSep = 1,
    PathStateDot = 2,
};

// Bytes of a file inspected to tell its content type.
static const size_t MIMEReadSize = 100;

static const uint8_t PNGMagic[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
static const uint8_t GIFMagic[] = {0x47, 0x49, 0x46};
static const uint8_t JPEGMagic[] = {0xFF, 0xD8};

static const char* const HTML_TYPE = "text/html; charset=UTF-8";

static bool isPathSeparator(char c) {
    return c == '/' || c == '\\';
}

// Whether big ends with endsWith, byte for byte.
static bool strEndsWith(const char* big, const char* endsWith) {
    size_t bigLength = strlen(big);
    size_t endsWithLength = strlen(endsWith);
    if (bigLength < endsWithLength) {
        return false;
    }
    return 0 == memcmp(big + bigLength - endsWithLength, endsWith, endsWithLength);
}

bool requestMatchesPathPrefix(const char* requestPathDecoded, const char* pathPrefix, size_t* matchLength) {
    size_t prefixLength = strlen(pathPrefix);
    if (prefixLength == 0) {
        return true;
    }
    size_t requestLength = strlen(requestPathDecoded);
    if (requestLength == 0) {
        return false;
    }
    if (requestLength >= prefixLength && 0 == memcmp(requestPathDecoded, pathPrefix, prefixLength)) {
        if (NULL != matchLength) {
            *matchLength = prefixLength;
        }
        if (pathPrefix[prefixLength - 1] == '/') {
            return true;
        }
        if (requestLength == prefixLength) {
            WEBSERVER_ASSERT_TEXT(0 == strcmp(requestPathDecoded, pathPrefix),
                                  "I'm assuming that the strings match with the length check + strstr above and I hope "
                                  "that's true. If not, that check needs to be replaced with real (0 == strcmp)");
            return true;
        }
        WEBSERVER_ASSERT_TEXT(
            requestLength > prefixLength,
            "In the following code I am assuming that the requestPathDecoded is indeed longer than the path prefix "
            "because of the length check I did above (even though that was ==, the strstr has to match it)");
        // "/files" covers "/files/x" but not "/filesystem".
        return requestPathDecoded[prefixLength] == '/';
    }
    // "/files" asked for under the prefix "/files/".
    if (prefixLength == requestLength + 1 && pathPrefix[prefixLength - 1] == '/' &&
        requestPathDecoded[requestLength - 1] != '/' && 0 == memcmp(requestPathDecoded, pathPrefix, requestLength)) {
        if (NULL != matchLength) {
            *matchLength = requestLength;
        }
        return true;
    }
    return false;
}

// Whether a relative path could lead above the directory it is resolved in.
static bool pathEscapesDocumentRoot(const char* path) {
    int depth = 0;
    PathState state = PathStateNormal;
    bool firstByte = true;
    for (const char* cursor = path; *cursor != '\0'; cursor++) {
        char c = *cursor;
        switch (state) {
        case PathStateNormal:
            if (isPathSeparator(c)) {
                state = PathStateSep;
            } else if (firstByte && c == '.') {
                state = PathStateDot;
            } else if (firstByte) {
                depth++;
            }
            break;
        case PathStateSep:
            if (c == '.') {
                state = PathStateDot;
            } else if (!isPathSeparator(c)) {
                depth++;
                state = PathStateNormal;
            }
            break;
        case PathStateDot:
            if (isPathSeparator(c)) {
                state = PathStateSep;
            } else if (c == '.') {
                // Any segment starting with two dots is treated as a step up:
                // stricter than the file system, never looser.
                depth--;
                state = PathStateNormal;
            } else {
                state = PathStateNormal;
            }
            break;
        }
        firstByte = false;
        // Once above the root, descending again does not make the path safe.
        if (depth < 0) {
            return true;
        }
    }
    return false;
}

// Letters, digits, '.', '/' and '-' kept, every other byte as %xx.
static char* strdupEscapeForURL(const char* stringToEscape) {
    if (stringToEscape[0] == '\0') {
        return (char*)webserverCallocOrDie(1, 1, "an escaped URL");
    }
    HeapString escaped;
    heapStringInit(&escaped);
    for (const char* cursor = stringToEscape; *cursor != '\0'; cursor++) {
        unsigned char c = (unsigned char)*cursor;
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '/' || c == '-';
        if (keep) {
            heapStringAppendChar(&escaped, (char)c);
        } else {
            heapStringAppendFormat(&escaped, "%%%x%x", (unsigned)(c >> 4), (unsigned)(c & 0x0F));
        }
    }
    return escaped.contents;
}

static bool startsWithBytes(const uint8_t* contents, size_t contentsLength, const uint8_t* magic, size_t magicLength) {
    return contentsLength >= magicLength && 0 == memcmp(contents, magic, magicLength);
}

const char* MIMETypeFromFile(const char* filename, const uint8_t* contents, size_t contentsLength) {
    if (startsWithBytes(contents, contentsLength, PNGMagic, sizeof(PNGMagic))) {
        return "image/png";
    }
    if (startsWithBytes(contents, contentsLength, GIFMagic, sizeof(GIFMagic))) {
        return "image/gif";
    }
    if (startsWithBytes(contents, contentsLength, JPEGMagic, sizeof(JPEGMagic))) {
        return "image/jpeg";
    }
    if (strEndsWith(filename, "html") || strEndsWith(filename, "htm")) {
        return HTML_TYPE;
    }
    if (strEndsWith(filename, "css")) {
        return "text/css";
    }
    if (strEndsWith(filename, "gz")) {
        return "application/x-gzip";
    }
    if (strEndsWith(filename, "js")) {
        return "application/javascript";
    }
    size_t inspected = contentsLength < MIMEReadSize ? contentsLength : MIMEReadSize;
    for (size_t i = 0; i < inspected; i++) {
        if (contents[i] >= 0x80) {
            return "application/binary";
        }
    }
    return "text/plain";
}

// ---- Answering a request from the document root -------------------------------

// Whether a segment of the path other than "." and ".." begins with a dot:
// ".git/config" or ".ssh/id_rsa" are never served.
static bool pathHasHiddenSegment(const char* path) {
    const char* segment = path;
    for (;;) {
        size_t length = 0;
        while (segment[length] != '\0' && !isPathSeparator(segment[length])) {
            length++;
        }
        bool dotOrDotDot =
            (length == 1 && segment[0] == '.') || (length == 2 && segment[0] == '.' && segment[1] == '.');
        if (length > 0 && segment[0] == '.' && !dotOrDotDot) {
            return true;
        }
        if (segment[length] == '\0') {
            return false;
        }
        segment += length + 1;
    }
}

// Whether the part of filePath below documentRoot has a dot-name in it. Only
// that part counts: a site may well live in a folder such as "~/.site". The
// names are also checked in the form the file system stores them, so an
// alias (GIT~1 for .git on Windows) does not get past the rule.
static bool hiddenBelowDocumentRoot(const char* documentRoot, const char* suffix, const char* filePath) {
    if (pathHasHiddenSegment(suffix)) {
        return true;
    }
    char* longRoot = strdupPathLongForm(documentRoot);
    char* longFile = strdupPathLongForm(filePath);
    bool hidden = true; // when the forms cannot be compared, serve nothing
    if (NULL != longRoot && NULL != longFile) {
        size_t rootLength = strlen(longRoot);
        if (0 == strncmp(longFile, longRoot, rootLength)) {
            hidden = pathHasHiddenSegment(longFile + rootLength);
        }
    }
    free(longRoot);
    free(longFile);
    return hidden;
}

// 500 after the message; `path` is the one pathInformationGet could not look at.
static Response* pathInformationFailure(int result, const char* path, const char* requestPathDecoded,
                                        const char* documentRoot) {
    int error = errno;
    char escapedPath[LOG_ESCAPED_PATH_CAPACITY];
    requestPathDecoded = logEscapeInto(requestPathDecoded, strlen(requestPathDecoded), escapedPath, sizeof escapedPath);
    printf("Failed to serve file: pathInformation returned %d for path '%s', request '%s' documentRoot '%s' with "
           "%s = %d\n",
           result, path, requestPathDecoded, documentRoot, strerror(error), error);
    return responseAlloc500InternalErrorHTML("Information about the path could not be determined for your request");
}

// An HTML listing of the directory at dirPath with links relative to the
// request's URL. Names are shown escaped for HTML and linked escaped for URLs,
// because both come from the disk and may hold markup.
static Response* listDirectory(const char* dirPath, const char* requestPathDecoded) {
    DIR* directory = opendir(dirPath);
    if (NULL == directory) {
        int error = errno;
        printf("Failed to print directory '%s': opendir failed. %s = %d\n", dirPath, strerror(error), error);
        return responseAlloc500InternalErrorHTML("We could not open the directory for iterating");
    }
    Response* listing = responseAllocHTML("<html><head><title>Directory Reading</title><body>");

    // Without a trailing slash the browser resolves links against the parent,
    // so each link starts with the request's last segment.
    const char* linkPrefix = "";
    const char* slash = "";
    if (!strEndsWith(requestPathDecoded, "/")) {
        const char* lastSlash = strrchr(requestPathDecoded, '/');
        linkPrefix = NULL == lastSlash ? requestPathDecoded : lastSlash + 1;
        slash = "/";
    }
    char* escapedLinkPrefix = strdupEscapeForURL(linkPrefix);

    for (struct dirent* entry = readdir(directory); NULL != entry; entry = readdir(directory)) {
        char* nameForURL = strdupEscapeForURL(entry->d_name);
        char* nameForHTML = strdupEscapeForHTML(entry->d_name);
        heapStringAppendFormat(&listing->body, "<a href=\"%s%s%s\">%s</a><br>\n", escapedLinkPrefix, slash, nameForURL,
                               nameForHTML);
        free(nameForURL);
        free(nameForHTML);
    }
    free(escapedLinkPrefix);
    closedir(directory);
    return listing;
}

// Chooses the answer for filePath, which lies inside documentRoot.
static Response* responseForPath(const HeapString* filePath, const char* requestPathDecoded, const char* documentRoot) {
    PathInformation information = {false, false};
    int result = pathInformationGet(filePath->contents, &information);
    if (0 != result) {
        return pathInformationFailure(result, filePath->contents, requestPathDecoded, documentRoot);
    }
    if (!information.exists) {
        return responseAlloc404NotFoundHTML(filePath->contents);
    }
    if (!information.isDirectory) {
        return responseAllocWithFile(filePath->contents, NULL);
    }
    if (!OptionListDirectoryContents) {
        char escapedPath[LOG_ESCAPED_PATH_CAPACITY];
        char escapedDirectory[LOG_ESCAPED_PATH_CAPACITY];
        printf("Failed to serve directory: OptionListDirectoryContents is false so we aren't serving the directory "
               "contents/listing for request '%s' documentRoot '%s', pointing at dir '%s'\n",
               logEscapeInto(requestPathDecoded, strlen(requestPathDecoded), escapedPath, sizeof escapedPath),
               documentRoot,
               logEscapeInto(filePath->contents, filePath->length, escapedDirectory, sizeof escapedDirectory));
        return responseAllocHTMLWithStatus(
            403, "Forbidden",
            "<html><head><title>403 - Forbidden</title></head><body>You are forbidden from accessing this "
            "URL.</body></html>");
    }

    HeapString indexPath;
    heapStringInit(&indexPath);
    heapStringAppendHeapString(&indexPath, filePath);
    heapStringAppendString(&indexPath, "/index.html");
    PathInformation indexInformation = {false, false};
    Response* response = NULL;
    result = pathInformationGet(indexPath.contents, &indexInformation);
    if (0 != result) {
        response = pathInformationFailure(result, indexPath.contents, requestPathDecoded, documentRoot);
    } else if (indexInformation.exists && !indexInformation.isDirectory) {
        response = responseAllocWithFile(indexPath.contents, NULL);
    } else {
        response = listDirectory(filePath->contents, requestPathDecoded);
    }
    heapStringFreeContents(&indexPath);
    return response;
}

Response* responseAllocServeFileFromRequestPath(const char* pathPrefix, const char* requestPath,
                                                const char* requestPathDecoded, const char* documentRoot) {
    if (NULL == pathPrefix) {
        pathPrefix = "/";
    }
    WEBSERVER_ASSERT(NULL != requestPath &&
                     "The requestPath should not be NULL. It can be empty, but not NULL. Pass request->path");
    WEBSERVER_ASSERT_TEXT(
        NULL != requestPathDecoded,
        "The requestPathDecoded should not be NULL. It can be empty, but not NULL. Pass request->requestPathDecoded");
    (void)requestPath;

    size_t matchLength = 0;
    if (!requestMatchesPathPrefix(requestPathDecoded, pathPrefix, &matchLength)) {
        return responseAlloc400BadRequestHTML(
            "You requested the server to serve a path it doesn't know. Use the <code>requestMatchesPathPrefix</code> "
            "before passing this path. Or use a <code>pathPrefix</code> of <code>/</code> to have the server serve "
            "files from all URLs.");
    }
    const char* suffix = requestPathDecoded + matchLength;
    while (isPathSeparator(*suffix)) {
        suffix++;
    }
    if (pathEscapesDocumentRoot(suffix)) {
        return responseAllocHTMLWithStatus(
            403, "Forbidden",
            "<html><head><title>Forbidden</title></head><body>You are not allowed to access this URL</body></html>");
    }

    HeapString filePath;
    heapStringInit(&filePath);
    heapStringAppendString(&filePath, documentRoot);
    if (suffix[0] != '\0') {
        heapStringAppendChar(&filePath, '/');
        heapStringAppendString(&filePath, suffix);
    }
    if (NULL == filePath.contents) {
        heapStringSetToCString(&filePath, ""); // an empty document root
    }
    Response* response = NULL;
    if (hiddenBelowDocumentRoot(documentRoot, suffix, filePath.contents)) {
        response = responseAlloc404NotFoundHTML(filePath.contents);
    } else {
        response = responseForPath(&filePath, requestPathDecoded, documentRoot);
    }
    heapStringFreeContents(&filePath);
    return response;
}

// ---- Sending a file response ------------------------------------------------------

static_assert(CONNECTION_BUFFER_SIZE >= MIMEReadSize, "the content type is detected in sendRecvBuffer");

// What is known about an opened file before its head goes out.
struct FileToSend {
    FILE* file;
    const char* contentType;
    int64_t length;
};

// Fills in the content type and length and leaves the file at its start.
// Null on success, otherwise the error response to send instead.
static Response* prepareFile(Connection* connection, const Response* response, FileToSend* toSend) {
    char escapedPath[LOG_ESCAPED_PATH_CAPACITY];
    const char* requestPath =
        logEscapeInto(connection->request.path, connection->request.pathLength, escapedPath, sizeof escapedPath);
    const char* filename = response->filenameToSend;
    toSend->contentType = response->contentType;
    if (NULL == toSend->contentType) {
        size_t bytesRead = fread(connection->sendRecvBuffer, 1, MIMEReadSize, toSend->file);
        if (bytesRead == 0) {
            int error = errno;
            printf("Unable to satisfy request for '%s' because we could read the first bunch of bytes to determine "
                   "MIME type '%s' %s = %d\n",
                   requestPath, filename, strerror(error), error);
            return responseAlloc500InternalErrorHTML("fread for MIME type detection failed");
        }
        toSend->contentType = MIMETypeFromFile(filename, (const uint8_t*)connection->sendRecvBuffer, bytesRead);
    }
    if (0 != fileSeek64(toSend->file, 0, SEEK_END)) {
        int error = errno;
        printf("Unable to satisfy request for '%s' because we could not fseek to the end of the file '%s' %s = %d\n",
               requestPath, filename, strerror(error), error);
        return responseAlloc500InternalErrorHTML("fseek to end of file failed");
    }
    toSend->length = fileTell64(toSend->file);
    if (toSend->length < 0) {
        int error = errno;
        printf("Unable to satisfy request for '%s' because we could not ftell on the file '%s' %s = %d\n", requestPath,
               filename, strerror(error), error);
        return responseAlloc500InternalErrorHTML("ftell to determine file length failed");
    }
    if (0 != fileSeek64(toSend->file, 0, SEEK_SET)) {
        int error = errno;
        printf("Unable to satisfy request for '%s' because we could not fseek to the beginning of the file '%s' "
               "%s = %d\n",
               requestPath, filename, strerror(error), error);
        return responseAlloc500InternalErrorHTML("fseek to beginning of file to start sending failed");
    }
    return NULL;
}

// Sends exactly `length` bytes of the file after its head. Once the head is
// out, any failure can only end the transfer: the short body and the closed
// connection tell the client, and no second head may follow.
static int streamFile(Connection* connection, const Response* response, const FileToSend* toSend, ssize_t* bytesSent) {
    char escapedPath[LOG_ESCAPED_PATH_CAPACITY];
    const char* requestPath =
        logEscapeInto(connection->request.path, connection->request.pathLength, escapedPath, sizeof escapedPath);
    const char* filename = response->filenameToSend;
    size_t sent = 0;

    // Never more than the head announced, even if the file grows meanwhile.
    int64_t remaining = toSend->length;
    while (remaining > 0) {
        size_t wanted = sizeof(connection->sendRecvBuffer);
        if ((int64_t)wanted > remaining) {
            wanted = (size_t)remaining;
        }
        size_t bytesRead = fread(connection->sendRecvBuffer, 1, wanted, toSend->file);
        if (bytesRead == 0) {
            int error = errno;
            if (ferror(toSend->file)) {
                printf("Unable to satisfy request for '%s' because there was an error freading. '%s' %s = %d\n",
                       requestPath, filename, strerror(error), error);
            } else {
                printf("Unable to satisfy request for '%s' because the file '%s' ended %lld bytes before the length "
                       "announced in the head\n",
                       requestPath, filename, (long long)remaining);
            }
            return 1;
        }
        if (!connectionSendAll(connection, connection->sendRecvBuffer, bytesRead, &sent)) {
            int error = socketLastError();
            printf("Unable to satisfy request for '%s' because there was an error sending bytes. '%s' %s = %d\n",
                   requestPath, filename, strerror(error), error);
            return 1;
        }
        if (OptionPrintResponse) {
            fwrite(connection->sendRecvBuffer, 1, bytesRead, stdout);
        }
        *bytesSent += (ssize_t)sent;
        remaining -= (int64_t)bytesRead;
    }
    return 0;
}

int sendResponseFile(Connection* connection, const Response* response, ssize_t* bytesSent) {
    char escapedPath[LOG_ESCAPED_PATH_CAPACITY];
    const char* requestPath =
        logEscapeInto(connection->request.path, connection->request.pathLength, escapedPath, sizeof escapedPath);
    const char* filename = response->filenameToSend;
    Response* errorResponse = NULL;
    int result = 0;

    FileToSend toSend = {NULL, NULL, 0};
    toSend.file = fopen_utf8_path(filename, "rb");
    if (NULL == toSend.file) {
        int error = errno;
        printf("Unable to satisfy request for '%s' because we could not open the file '%s' %s = %d\n", requestPath,
               filename, strerror(error), error);
        errorResponse = responseAlloc404NotFoundHTML(connection->request.path);
    } else {
        errorResponse = prepareFile(connection, response, &toSend);
        if (NULL == errorResponse) {
            switch (sendResponseHead(connection, response, toSend.contentType, (uint64_t)toSend.length, bytesSent)) {
            case HeadSent:
                result = streamFile(connection, response, &toSend, bytesSent);
                break;
            case HeadReplacedBy500:
                break;
            case HeadSendFailed:
                result = 1;
                break;
            }
        }
        fclose(toSend.file);
    }

    if (NULL != errorResponse) {
        printf("Instead of satisfying the request for '%s' we encountered an error and will return %d %s\n",
               requestPath, errorResponse->code, errorResponse->status);
        ssize_t errorBytesSent = 0;
        result = sendResponseBody(connection, errorResponse, &errorBytesSent);
        *bytesSent += errorBytesSent;
        responseFree(errorResponse);
    }
    return result;
}
