// tallyvox-cli settings and consent: the preferences and standing consent from a terminal.

#include "Commands.h"

#include "base/Clock.h"
#include "base/Error.h"
#include "settings/ConsentManager.h"
#include "settings/PreferenceCommands.h"
#include "settings/ProtectedSettings.h"
#include "transcripts/DateText.h"

#include <algorithm>
#include <iostream>
#include <unistd.h>

namespace tallyvox::cli {

namespace {

SettingsStores preparedStores() {
    auto stores = SettingsStores::standard();
    SettingsManager::registerDefaults(stores);
    ProtectedSettings::migrate(stores.protectedFile, stores.defaults);
    return stores;
}

void print(const PreferenceCommands::Entry& entry, bool withKey) {
    if (withKey)
        std::cout << entry.key << " = ";
    std::cout << entry.value;
    if (withKey)
        std::cout << "  (" << entry.type << (entry.isDefault ? ", default" : "") << ")";
    std::cout << "\n";
}

std::string standingText(const SettingsStores& stores) {
    auto since = ConsentManager::standingConsentDate(stores.protectedFile);
    if (!since)
        return "Standing consent: off (every meeting asks before it is transcribed)";
    return "Standing consent: on since " + DateText::format(*since, "d MMMM y") +
           " (detected meetings are transcribed automatically)";
}

bool agreed(const std::vector<std::string>& args) {
    if (std::find(args.begin(), args.end(), "--yes") != args.end())
        return true;
    if (!::isatty(STDIN_FILENO)) {
        std::cerr << "Standing consent needs your agreement: run it in a terminal, or add --yes "
                     "to agree to:\n  "
                  << ConsentManager::standingStatement << "\n";
        return false;
    }
    std::cout << ConsentManager::standingStatement << "\nAgree? [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    return answer == "y" || answer == "Y" || answer == "yes";
}

} // namespace

int settingsCommand(const std::vector<std::string>& args) {
    try {
        auto stores = preparedStores();
        if (args.empty() || (args.size() == 1 && args[0] == "list")) {
            for (const auto& entry : PreferenceCommands::list(stores))
                print(entry, true);
            return ok;
        }
        if (args.size() == 2 && args[0] == "get") {
            print(PreferenceCommands::get(args[1], stores), false);
            return ok;
        }
        if (args.size() == 3 && args[0] == "set") {
            print(PreferenceCommands::set(args[1], args[2], stores), true);
            return ok;
        }
    } catch (const Error& error) {
        std::cerr << error.what() << "\n";
        return failed;
    }
    return usage();
}

int consentCommand(const std::vector<std::string>& args) {
    if (args.empty() || args[0] != "standing")
        return usage();
    auto stores = preparedStores();
    std::string action = args.size() > 1 ? args[1] : "status";
    if (action == "status") {
        std::cout << standingText(stores) << "\n";
        return ok;
    }
    if (action != "on" && action != "off")
        return usage();
    if (action == "on" && !agreed(args))
        return failed;
    try {
        if (action == "on")
            ConsentManager::grantStanding(Clock::system().now(), stores.protectedFile);
        else
            ConsentManager::revokeStanding(stores.protectedFile);
    } catch (const std::exception& error) {
        std::cerr << ConsentManager::notSavedText(error.what()) << "\n";
        return failed;
    }
    bool on = ConsentManager::standingConsentDate(stores.protectedFile).has_value();
    std::cout << standingText(stores) << "\n";
    return on == (action == "on") ? ok : failed;
}

} // namespace tallyvox::cli
