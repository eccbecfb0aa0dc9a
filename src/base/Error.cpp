#include "base/Error.h"

#include <cstring>

namespace tallyvox {

namespace {
std::string describe(const std::string& path, int errorNumber) {
    std::string text = std::strerror(errorNumber);
    return path.empty() ? text : text + " (" + path + ")";
}
} // namespace

FileError::FileError(const std::string& path, int errorNumber)
    : Error(describe(path, errorNumber))
    , errorNumber_(errorNumber) {}

} // namespace tallyvox
