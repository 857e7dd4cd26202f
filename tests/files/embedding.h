// embedding.h: the small embedding program that the file-serving tests run
// the server module in: its request callback serves /files/... from a
// temporary document root.
#pragma once

#include <string>

// Requests under this prefix are served from documentRoot.
static const char* const FILES_PREFIX = "/files";
// Requests for this exact path get a file response naming readErrorPath with a
// given content type, so that the file is first read after the head is sent.
static const char* const READ_ERROR_ROUTE = "/read-error";

// Requests for this exact path get a file response for longHeadPath whose
// extra header lines make the head longer than the connection's head buffer.
static const char* const LONG_HEAD_ROUTE = "/long-head";

struct EmbeddingConfig {
    std::string documentRoot;
    std::string readErrorPath;
    std::string longHeadPath;
};

// Set before the server starts; read by connection threads.
extern EmbeddingConfig embeddingConfig;
