// The tool's one error type.
#ifndef KORVEX_MKPATCH_ERROR_H
#define KORVEX_MKPATCH_ERROR_H

#include <stdexcept>

namespace mkpatch {

// A failure the user can act on; the message names the file and the problem.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Warnings that --strict turns into a failure; nothing was written.
class StrictFailure : public Error {
public:
    using Error::Error;
};

// The build was stopped through BuildOptions::cancel; nothing was written.
class Cancelled : public Error {
public:
    using Error::Error;
};

}  // namespace mkpatch

#endif
