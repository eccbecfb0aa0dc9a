// tallyvox-cli settings and consent: the preferences and standing consent from a terminal.

#include "Commands.h"

#include "base/Clock.h"
#include "base/Error.h"
#include "session/PreferenceCommands.h"
#include "settings/ConsentManager.h"
#include "settings/ProtectedSettings.h"
#include "transcription/SpeedProbe.h"
#include "transcripts/DateText.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <iostream>
#include <unistd.h>

namespace tallyvox::cli {

namespace {

const SettingsStores& prepared(const SettingsStores& stores) {
    // The default model is the one the app would use: measured speed and what is on decide
    // the recommendation, what is downloaded the default.
    const auto speed = SpeedProbe::machineSpeed(
        MachineSpeed::cacheFile(), {}, ComputeDevices::choose(SettingsManager::useGPU(stores)));
    SettingsManager::registerDefaults(
        stores, SettingsManager::systemFullName(),
        SettingsManager::recommendedModel(SettingsManager::physicalMemory(), speed));
    ProtectedSettings::migrate(stores.protectedFile, stores.defaults);
    SettingsManager::registerDefaultModel(stores, SettingsManager::recommendedModel(stores, speed));
    return stores;
}

// The value in force; one the app does not use as stored is said beside it, or on stderr
// where only the value is printed, so scripts still read a value they can use.
void print(const PreferenceCommands::Entry& entry, bool withKey) {
    if (withKey)
        std::cout << entry.key << " = ";
    std::cout << entry.value;
    if (withKey)
        std::cout << "  (" << entry.type << (entry.isDefault ? ", default" : "")
                  << (entry.note.empty() ? "" : ", " + entry.note) << ")";
    std::cout << "\n";
    if (!withKey && !entry.note.empty())
        std::cerr << entry.key << ": " << entry.note << "\n";
}

std::string standingText(const SettingsStores& stores) {
    auto since = ConsentManager::standingConsentDate(stores.protectedFile);
    if (!since)
        return "Standing consent: off (every meeting asks before it is transcribed)";
    return "Standing consent: on since " + DateText::format(*since, "d MMMM y") +
           " (detected meetings are transcribed automatically)";
}

bool agreed(bool yes) {
    if (yes)
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

// Errors of the settings store are the user's to read; they never crash the command.
int guarded(const std::function<void()>& work) {
    try {
        work();
        return ok;
    } catch (const Error& error) {
        std::cerr << error.what() << "\n";
        return failed;
    }
}

int listSettings(const SettingsStores& stores) {
    return guarded([&] {
        for (const auto& entry : PreferenceCommands::list(prepared(stores)))
            print(entry, true);
    });
}

int standingConsent(const std::string& action, bool yes, const SettingsStores& stores) {
    prepared(stores);
    if (action == "status") {
        std::cout << standingText(stores) << "\n";
        return ok;
    }
    if (action == "on" && !agreed(yes))
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

} // namespace

void addSettingsCommands(CLI::App& app, const SettingsStores& stores, int& exitCode) {
    auto* settings = app.add_subcommand("settings", "Show or change the settings");
    settings->callback([settings, &stores, &exitCode] {
        if (settings->get_subcommands().empty())
            exitCode = listSettings(stores);
    });
    settings->add_subcommand("list", "Every setting with its value")->callback([&] {
        exitCode = listSettings(stores);
    });
    auto key = std::make_shared<std::string>();
    auto value = std::make_shared<std::string>();
    auto* get = settings->add_subcommand("get", "One setting's value");
    get->add_option("KEY", *key)->required();
    get->callback([key, &stores, &exitCode] {
        exitCode = guarded([&] { print(PreferenceCommands::get(*key, prepared(stores)), false); });
    });
    auto* set = settings->add_subcommand("set", "Change a setting; a bad value is refused");
    set->add_option("KEY", *key)->required();
    set->add_option("VALUE", *value)->required();
    set->callback([key, value, &stores, &exitCode] {
        exitCode =
            guarded([&] { print(PreferenceCommands::set(*key, *value, prepared(stores)), true); });
    });

    auto* consent = app.add_subcommand("consent", "Standing consent for automatic transcription");
    consent->require_subcommand(1);
    auto action = std::make_shared<std::string>("status");
    auto yes = std::make_shared<bool>(false);
    auto* standing = consent->add_subcommand(
        "standing", "Turn standing consent on or off, or show it (the default)");
    standing->add_option("ACTION", *action)
        ->check(CLI::IsMember({"on", "off", "status"}))
        ->capture_default_str();
    standing->add_flag("--yes", *yes, "Agree to the consent statement without being asked");
    standing->callback(
        [action, yes, &stores, &exitCode] { exitCode = standingConsent(*action, *yes, stores); });
}

} // namespace tallyvox::cli
