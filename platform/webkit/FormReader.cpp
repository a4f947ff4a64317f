#include "platform/webkit/FormReader.h"

#include <atomic>

namespace platform::webkit {

namespace {
std::atomic<FormReader> reader{nullptr};
}

void setFormReader(FormReader r) { reader.store(r); }
FormReader formReader() { return reader.load(); }

}  // namespace platform::webkit
