// errors.h - the failures every reader and writer of io/ reports, and every host tells its user
// in its own way: the tool as an exit status and a line on stderr, Python as an exception.
#ifndef RSID_IO_ERRORS_H
#define RSID_IO_ERRORS_H

#include <stdexcept>

namespace rsid_tool {

// A command line that parses but makes no sense ("-o -" without -t, raw input without a rate).
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An output that cannot be written.
struct output_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// stdout's reader went away (EPIPE; SIGPIPE is ignored): the tool stops without a message.
struct broken_pipe : output_error {
    using output_error::output_error;
};

} // namespace rsid_tool

#endif
