// A text as a JSON string literal, for the window's traces.
#pragma once

#include <string>

// The text in double quotes, with quotes, backslashes and control characters escaped; other bytes
// (UTF-8 included) pass as they are.
std::string jsonQuoted(const std::string& text);
