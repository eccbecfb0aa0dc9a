#pragma once

#include <string>
#include <vector>

namespace tallyvox::cli {

enum Exit { ok = 0, failed = 1, usageError = 2, missingFile = 3, unknownModel = 4 };

// Prints the usage text and answers the usage exit code.
int usage();

int transcribeCommand(const std::vector<std::string>& args);
int modelsCommand(const std::vector<std::string>& args);
int settingsCommand(const std::vector<std::string>& args);
int consentCommand(const std::vector<std::string>& args);
int runCommand(const std::vector<std::string>& args);

} // namespace tallyvox::cli
