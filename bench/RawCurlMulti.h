#pragma once
// The raw-libcurl side of the loopback benchmarks: the requests the system makes, done by hand on a
// multi handle, and the server both sides talk to.
#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "testing/TestHttpServer.h"

namespace bench {

// A loopback server for `inFlight` clients at once: one thread per kept-alive connection, with room
// to spare, so a connection never waits for a server thread (that would measure the server's queue).
inline std::unique_ptr<tesmar_testing::TestHttpServer> makeServer(int inFlight) {
    tesmar_testing::TestHttpServer::Options options;
    options.threads = size_t(2 * inFlight);
    return std::make_unique<tesmar_testing::TestHttpServer>(options);
}

// GETs `url` `total` times, `inFlight` at once, each easy handle re-added as one finishes; bodies
// are counted, or written to `file` when given. The same connection limit and Accept-Encoding as
// the system's sessions, so both reuse kept-alive connections alike and ask for the same answers.
// Answers the number of body bytes counted.
inline int64_t rawCurlMulti(const std::string& url, int total, int inFlight, FILE* file = nullptr) {
    struct Sink {
        static size_t count(char*, size_t size, size_t n, void* user) {
            *static_cast<int64_t*>(user) += int64_t(size * n);
            return size * n;
        }
        static size_t write(char* p, size_t size, size_t n, void* user) {
            return fwrite(p, 1, size * n, static_cast<FILE*>(user));
        }
    };
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(inFlight));
    int64_t bytes = 0;
    auto add = [&] {
        CURL* e = curl_easy_init();
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
        if (file) {
            curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, Sink::write);
            curl_easy_setopt(e, CURLOPT_WRITEDATA, file);
        } else {
            curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, Sink::count);
            curl_easy_setopt(e, CURLOPT_WRITEDATA, &bytes);
        }
        curl_multi_add_handle(multi, e);
    };
    int started = 0, finished = 0;
    for (; started < inFlight && started < total; ++started)
        add();
    while (finished < total) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            curl_multi_remove_handle(multi, msg->easy_handle);
            curl_easy_cleanup(msg->easy_handle);
            ++finished;
            if (started < total) {
                add();
                ++started;
            }
        }
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    curl_multi_cleanup(multi);
    return bytes;
}

} // namespace bench
