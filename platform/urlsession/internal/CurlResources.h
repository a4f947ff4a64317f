#pragma once
// Internal: owners of the C resources a transfer or a stream connection holds, so that letting go of
// them is their destructors, in the order their declarations fix.
#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <string>

namespace platform::urlsession_detail {

class Engine;

struct CurlEasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
// An easy handle in no multi handle (a new one, or one the engine keeps for the next request).
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;

// A curl string list: a request's header lines, its connect-to mapping.
class CurlList {
public:
    // A line curl cannot take (out of memory) is left out; the list stays as it was.
    void append(const std::string& line) {
        if (curl_slist* head = curl_slist_append(list_.get(), line.c_str())) {
            (void)list_.release();  // the same list when it had lines: curl appended in place
            list_.reset(head);
        }
    }
    curl_slist* get() const { return list_.get(); }

private:
    struct Free {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };
    std::unique_ptr<curl_slist, Free> list_;
};

// An easy handle that may be in its engine's multi handle. Going, it leaves the multi handle, then
// goes back to the engine's pool when `pooled` (kept for a later request, or freed there), else is freed.
class EasyHandle {
public:
    EasyHandle(Engine& engine, CurlEasy easy, bool pooled);
    ~EasyHandle();
    EasyHandle(const EasyHandle&) = delete;
    EasyHandle& operator=(const EasyHandle&) = delete;

    CURL* get() const { return easy_.get(); }
    // Adds the handle to the engine's multi handle (engine thread); false when curl refuses it.
    bool join();
    // Leaves the multi handle, keeping the handle: its timings can still be read.
    void leave();
    bool inMulti() const { return inMulti_; }

private:
    Engine& engine_;
    CurlEasy easy_;
    const bool pooled_;
    bool inMulti_ = false;
};

// What curl holds for one request (a transfer's hop, a stream's connect): the lists its easy handle
// points at, then the handle, which therefore goes first and leaves the multi handle before the lists
// are freed.
struct CurlRequest {
    CurlRequest(Engine& engine, CurlEasy easy, bool pooled) : easy(engine, std::move(easy), pooled) {}

    CurlList headers;
    CurlList connectTo;
    EasyHandle easy;
};

struct FileClose {
    void operator()(FILE* file) const { fclose(file); }
};
// A download's file, written through stdio's buffer: closing it flushes.
using File = std::unique_ptr<FILE, FileClose>;

}  // namespace platform::urlsession_detail
