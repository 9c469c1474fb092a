// command_line.h - the rsid command line parsed into a command and its options, without running
// anything: main() runs what it gets, and the fuzz harness checks that no argv can crash it.
#ifndef RSID_TOOL_COMMAND_LINE_H
#define RSID_TOOL_COMMAND_LINE_H

#include "commands.h"

namespace rsid_tool {

struct command_line {
    enum class command { exit, send, detect, scan, merge };
    command which = command::exit;
    int status = 0; // command::exit: the status to exit with (help, --version, a parse error)
    send_options send;
    detect_options detect;
    scan_command scan;
    merge_command merge;
};

// Parses argv (argv[0] is the program) and checks what can be checked before any input is
// opened; --help, --version and parse errors print their text and give command::exit. Throws
// usage_error for options that parse but make no sense, and mqtt_error for a bad --mqtt URL.
// Hides an MQTT password in argv from `ps`.
command_line parse_command_line(int argc, char** argv);

} // namespace rsid_tool

#endif
