// httplib_peer.cpp: the print route served the plain way on cpp-httplib, as
// the yardstick for quorvel2's HTTP figures. POST /escpos writes the body
// whole to the device as one job (jobs one at a time) and answers 200 with
// an empty text body, the same CORS lines and Connection: close.
//
//   httplib_peer PORT DEVICE [CERT KEY]
// Listens on 127.0.0.1:PORT; prints "listening" once it accepts. With CERT
// and KEY (PEM files) it serves HTTPS instead, over Debian's OpenSSL.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <httplib.h>

#include <memory>
#include <mutex>

namespace {

std::mutex printerLock;

bool printJob(const char* device, const std::string& body) {
    std::lock_guard<std::mutex> hold(printerLock);
    int fd = open(device, O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const char* data = body.data();
    size_t left = body.size();
    while (left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            close(fd);
            return false;
        }
        data += written;
        left -= (size_t)written;
    }
    close(fd);
    return true;
}

void setCommonHeaders(httplib::Response& res) {
    res.set_header("Server", "Ostrelin/1.1.3");
    res.set_header("Access-Control-Allow-Origin", "*");
    res.set_header("Access-Control-Allow-Headers", "Content-Type, Authorization");
    res.set_header("Access-Control-Allow-Methods", "GET, POST, PUT, DELETE, PATCH, OPTIONS");
    res.set_header("Connection", "close");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        fprintf(stderr, "usage: httplib_peer PORT DEVICE [CERT KEY]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int port = atoi(argv[1]);
    const char* device = argv[2];

    std::unique_ptr<httplib::Server> tls;
    if (argc == 5) {
        tls.reset(new httplib::SSLServer(argv[3], argv[4]));
        if (!tls->is_valid()) {
            fprintf(stderr, "httplib_peer: cannot use %s and %s\n", argv[3], argv[4]);
            return 1;
        }
    }
    httplib::Server plain;
    httplib::Server& server = tls ? *tls : plain;
    server.set_keep_alive_max_count(1); // one request per connection, as quorvel2 does
    server.Post("/escpos", [device](const httplib::Request& req, httplib::Response& res) {
        setCommonHeaders(res);
        if (!printJob(device, req.body)) {
            res.status = 503;
            res.set_content("Writing to the printer device failed.\n", "text/plain");
            return;
        }
        res.status = 200;
        res.set_content("", "text/plain");
    });
    server.Options("/escpos", [](const httplib::Request&, httplib::Response& res) {
        setCommonHeaders(res);
        res.status = 200;
        res.set_content("", "text/plain");
    });
    if (!server.bind_to_port("127.0.0.1", port)) {
        fprintf(stderr, "httplib_peer: cannot bind 127.0.0.1:%d\n", port);
        return 1;
    }
    printf("listening on 127.0.0.1:%d\n", port);
    fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}
