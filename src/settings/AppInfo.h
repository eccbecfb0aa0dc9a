#pragma once

#include <string>

namespace tallyvox::AppInfo {

std::string version();
std::string build();
std::string buildDate();
// "Version 0.1.0 · Build 12 · 2026-12-07"
std::string summary();

} // namespace tallyvox::AppInfo
