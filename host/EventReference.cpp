#include "host/EventReference.h"

#include <sstream>

#include "platform/foundation/ASCII.h"

namespace tesmar_host {

namespace {

std::string trimmed(std::string_view text) { return std::string(platform::trimmingCharacters(text, " `")); }

// "| `name` | fields | when |": the cells between the bars (an escaped "\|" stays inside its cell).
std::vector<std::string> cells(const std::string& row) {
    std::vector<std::string> out;
    std::string cell;
    for (size_t i = 1; i < row.size(); ++i) {
        if (row[i] == '\\' && i + 1 < row.size() && row[i + 1] == '|') {
            cell += '|';
            ++i;
        } else if (row[i] == '|') {
            out.push_back(cell);
            cell.clear();
        } else {
            cell += row[i];
        }
    }
    return out;
}

}  // namespace

const std::vector<EventDoc>& eventReference() {
    static const std::vector<EventDoc> rows = [] {
        std::vector<EventDoc> out;
        std::istringstream lines(eventReferenceDocument());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("| `", 0) != 0) continue;  // event rows name their event in code spans
            auto row = cells(line);
            if (row.size() < 3) continue;
            out.push_back({trimmed(row[0]), std::string(platform::trimmingCharacters(row[1], " ")),
                           std::string(platform::trimmingCharacters(row[2], " "))});
        }
        return out;
    }();
    return rows;
}

std::string eventUsageText() {
    std::string out;
    for (const auto& event : eventReference()) {
        std::string line = "  " + event.name;
        if (!event.fields.empty()) line += " {" + event.fields + "}";
        out += line + "\n";
    }
    return out;
}

}  // namespace tesmar_host
