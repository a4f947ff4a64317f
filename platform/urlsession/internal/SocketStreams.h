#pragma once
// Internal: the InputStream/OutputStream pair a stream task hands its connection over as
// (URLSessionStreamTask::captureStreams). Both work on the connected socket with blocking calls, like
// the file streams do on a file. The input stream first gives the bytes the task had already read
// from the socket and not yet handed out. close() shuts that direction of the socket down (closing the
// output stream sends the peer its end of stream); the socket itself is closed when both streams are
// gone. The two may be used from two threads at once, each from one at a time.
#include <memory>

#include "platform/foundation/Stream.h"
#include "platform/foundation/Value.h"

namespace platform::urlsession_detail {

struct SocketStreamPair {
    std::shared_ptr<InputStream> input;
    std::shared_ptr<OutputStream> output;
};

// Takes ownership of `fd` (made blocking here). `readEnded`: nothing more is to be read from the
// socket (the peer's end of stream was seen, or the read side was closed); after `pending` the input
// stream is at its end. `writeEnded`: the write side is already shut down, writes fail.
SocketStreamPair makeSocketStreams(int fd, Bytes pending, bool readEnded, bool writeEnded);

}  // namespace platform::urlsession_detail
