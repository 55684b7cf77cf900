// The three kinds of failure kiv reports. Each carries one line of text;
// only main() decides how a failure reaches the user and the exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace kiv {

class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    // A short word naming the category, shown for failures nobody handled.
    virtual const char* kind() const noexcept = 0;
};

// Bad input from the user: the command line, a listen address, a session name.
class UsageError : public Error {
  public:
    using Error::Error;
    const char* kind() const noexcept override { return "usage"; }
};

// A system call failed; the text names the step ("bind failed: <path>").
class SystemError : public Error {
  public:
    using Error::Error;
    const char* kind() const noexcept override { return "system"; }
};

// A malformed or truncated message stream.
class IoError : public Error {
  public:
    using Error::Error;
    const char* kind() const noexcept override { return "io"; }
};

}  // namespace kiv
