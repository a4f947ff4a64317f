#pragma once
// The shell's console: a debug print shows the string quoted (with escapes), a plain print as is.
#include <string>

namespace Tesmar {

void debugPrint(const std::string& text);
void plainPrint(const std::string& text);
// `text` as a quoted string literal.
std::string quoted(const std::string& text);

}  // namespace Tesmar
