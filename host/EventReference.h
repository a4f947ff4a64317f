#pragma once
// The event lines tesmar-sim prints, as docs/events.md lists them. The document is built into the host
// (EventReferenceText.cpp.in), so --help and the reference cannot tell two stories.
#include <string>
#include <vector>

namespace tesmar_host {

struct EventDoc {
    std::string name;    // "page.finish"
    std::string fields;  // "url"
    std::string when;    // the document's explanation
};

// The rows of the document's table, in its order.
const std::vector<EventDoc>& eventReference();
// One line per event, for --help.
std::string eventUsageText();

// The document as built in (generated from docs/events.md).
const char* eventReferenceDocument();

}  // namespace tesmar_host
