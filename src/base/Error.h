#pragma once

#include <stdexcept>
#include <string>

namespace tallyvox {

// Every failure the user may see derives from this; what() is already worded for them.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& description)
        : std::runtime_error(description) {}
};

// A failed file-system call, described the way the system describes it.
class FileError : public Error {
public:
    FileError(const std::string& path, int errorNumber);
    int errorNumber() const { return errorNumber_; }

private:
    int errorNumber_;
};

} // namespace tallyvox
