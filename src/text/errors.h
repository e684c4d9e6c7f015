// The program's error class. An operation that "raises an error" throws one
// of these with the exact text the user is to see; the application's general
// error handler shows it in an error box and the message loop goes on.
#pragma once

#include <stdexcept>
#include <string>

class EError : public std::runtime_error {
public:
    explicit EError(const std::string& text) : std::runtime_error(text) {}
};

// A strict number conversion met a text that is not a number.
class EConvertError : public EError {
public:
    using EError::EError;
};

// A file or directory operation failed (the "input/output error" report).
class EInOutError : public EError {
public:
    EInOutError(const std::string& text, int code) : EError(text), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};
