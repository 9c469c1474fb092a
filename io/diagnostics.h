// diagnostics.h - how the tool talks to its user on stderr, and what it does when its standard
// streams are closed, full or gone.
//
// Nothing said on stderr can end the program: a closed or full stderr (`2>&-`, `2>/dev/full`)
// only loses the message. Names from the command line and from files are shown with their
// control characters escaped, so that a name cannot forge a line or drive the terminal.
#ifndef RSID_TOOL_DIAGNOSTICS_H
#define RSID_TOOL_DIAGNOSTICS_H

#include <string>
#include <string_view>

namespace rsid_tool {

// Writes the line and a newline to stderr; never throws, whatever stderr is.
void tell_user(std::string_view line) noexcept;

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that a file the tool
// opens later can never take a standard stream's number (and receive its messages).
void keep_standard_streams_open() noexcept;

// The text with backslash, ASCII control characters (newline, ESC, ...), DEL and the C1
// controls escaped as C does: \\, \n, \t, \r, \xHH (C1 controls as the \xHH of their two
// UTF-8 bytes). Everything else, other UTF-8 and other bytes alike, is kept.
std::string printable(std::string_view text);

} // namespace rsid_tool

#endif
