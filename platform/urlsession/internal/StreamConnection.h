#pragma once
// Internal: the connections of a session's stream tasks, carried by the engine thread like transfers.
//
// Connecting is curl's job: a CONNECT_ONLY easy handle on the session's multi handle does the name
// lookup, the connect time-out (the configuration's timeoutIntervalForRequest) and the device's
// connect-to mapping. When curl reports the connection made, the engine takes the socket over (a
// duplicate of curl's descriptor) and lets the easy handle go. It does not leave the connection with
// curl: curl keeps a connect-only connection in its cache as an idle one and closes it there when
// another transfer of the session connects after the cache's maximum idle age — a long-lived stream
// would be cut under its user.
//
// From then on bytes move with non-blocking send/recv each time the engine loop comes round, and the
// loop's poll also waits on the stream sockets (readable while reads are pending, writable
// while writes are). Bytes are only read from the socket for a pending read, so a peer that sends more
// than the task asks for is held back by TCP, not by memory here.
//
// Every method runs on the engine thread: the public ones assert it (a debug build aborts when not),
// the helpers require it.
#include <curl/curl.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/urlsession/URLSessionTask.h"
#include "platform/urlsession/internal/Engine.h"

namespace platform::urlsession_detail {

struct StreamConnection;

using StreamDeadline = std::optional<std::chrono::steady_clock::time_point>;

struct StreamRead {
    size_t minBytes = 1;
    size_t maxBytes = 0;
    StreamDeadline deadline;
    std::function<void(Bytes, bool, std::optional<Error>)> handler;
};

struct StreamWrite {
    Bytes data;
    size_t offset = 0;  // bytes of `data` already handed to the socket
    StreamDeadline deadline;
    std::function<void(std::optional<Error>)> handler;
};

// The deadline of an operation asked for now with `timeout` seconds (none when <= 0, not a number, or so
// large that it would never come).
StreamDeadline streamDeadline(double timeout);

class StreamConnections {
public:
    explicit StreamConnections(Engine& engine);
    // Closes every connection without callbacks (the session is going away).
    ~StreamConnections();
    StreamConnections(const StreamConnections&) = delete;
    StreamConnections& operator=(const StreamConnections&) = delete;

    using TaskPtr = std::shared_ptr<URLSessionStreamTask>;

    // The task commands, in the order they were posted.
    void start(const TaskPtr& task);
    void setSuspended(const TaskPtr& task, bool suspended);
    void cancel(const TaskPtr& task);
    void read(const TaskPtr& task, StreamRead op);
    void write(const TaskPtr& task, StreamWrite op);
    void closeRead(const TaskPtr& task);
    void closeWrite(const TaskPtr& task);
    void captureStreams(const TaskPtr& task);

    // A network service's lookup has ended: connect to host:port, or fail the task.
    void resolved(const TaskPtr& task, const std::optional<Error>& failure, const std::string& host, int port);

    // The engine loop. connectDone answers false for a handle that is not a stream's.
    bool connectDone(CURL* easy, CURLcode result);
    // Moves bytes, ends expired operations, completes the tasks that are done.
    void pump();
    // The sockets to wait on (added to `fds`), and how long the wait may last before an operation expires.
    void pollFds(std::vector<pollfd>& fds) const;
    int waitMillis(int upTo) const;
    // A connection is being made or is open (the session stays alive and valid for it).
    bool hasStarted() const;
    // Shutting down: every connection closes, nothing is called.
    void dropAll();

private:
    StreamConnection* find(const TaskPtr& task) REQUIRES(engine_.engineThread());
    StreamConnection& entry(const TaskPtr& task) REQUIRES(engine_.engineThread());
    bool refuseIfCompleted(const TaskPtr& task, const std::function<void(const Error&)>& refuse);
    void resolve(StreamConnection& c, std::shared_ptr<NetService> service) REQUIRES(engine_.engineThread());
    void connect(StreamConnection& c, const std::string& host, int port) REQUIRES(engine_.engineThread());
    void service(StreamConnection& c) REQUIRES(engine_.engineThread());
    void expire(StreamConnection& c) REQUIRES(engine_.engineThread());
    std::optional<Error> flushWrites(StreamConnection& c) REQUIRES(engine_.engineThread());
    std::optional<Error> fillReads(StreamConnection& c) REQUIRES(engine_.engineThread());
    void endReads(StreamConnection& c) REQUIRES(engine_.engineThread());
    void tellReadClosed(StreamConnection& c) REQUIRES(engine_.engineThread());
    void handOver(StreamConnection& c) REQUIRES(engine_.engineThread());
    // Ends the task: pending operations fail with `error`, then the task completes with it.
    void finish(StreamConnection& c, std::optional<Error> error) REQUIRES(engine_.engineThread());

    Engine& engine_;
    std::map<uint64_t, std::unique_ptr<StreamConnection>> connections_ GUARDED_BY(engine_.engineThread());
};

}  // namespace platform::urlsession_detail
