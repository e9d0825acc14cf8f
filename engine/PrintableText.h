#pragma once

// Threads: pure; any thread.

#include <string>
#include <string_view>

// A name from outside (the network, a file) as a diagnostic line on standard
// error may hold it: control characters, DEL and the Unicode line separators
// are written as escapes (\xHH, \u2028), and a backslash as two, so a name
// can never start a line of its own. Every other byte stays as it is.
std::string printableText(std::string_view text);
