#include "app/Console.h"

#include <cstdio>

#include "platform/foundation/DeviceEvents.h"

namespace Tesmar {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buffer[12];
                std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
                out += buffer;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

void debugPrint(const std::string& text) { platform::consoleLog(quoted(text)); }
void plainPrint(const std::string& text) { platform::consoleLog(text); }

}  // namespace Tesmar
