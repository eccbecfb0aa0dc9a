#pragma once

#include "fakes/PipedChild.h"
#include "fakes/TempDir.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace tallyvox::testing {

// A desktop of the test's own for a screen-reader test: an Xvfb, a private session bus, and a
// scratch home whose desktop settings live in memory (the accessibility bus launcher keeps its
// switch there), exported to this process while it lives. `env` is what a client started into
// it needs; `missing` names a tool that is not installed, `failed` what did not start.
class AccessibleDesktop {
public:
    AccessibleDesktop(const std::string& screen, std::chrono::seconds limit) {
        for (const char* tool :
             {"/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/libexec/at-spi-bus-launcher",
              "/usr/libexec/at-spi2-registryd"})
            if (::access(tool, X_OK) != 0) {
                missing = tool;
                return;
            }
        env = {{"GSETTINGS_BACKEND", "memory"},
               {"HOME", home.path().string()},
               {"XDG_CONFIG_HOME", home.path().string()},
               {"XDG_RUNTIME_DIR", home.path().string()}};
        display_ = std::make_unique<PipedChild>(
            std::vector<std::string>{"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp",
                                     "-screen", "0", screen},
            env);
        auto number = display_->line(limit);
        if (!number) {
            failed = "Xvfb did not start";
            return;
        }
        env["DISPLAY"] = ":" + *number;
        bus_ = std::make_unique<PipedChild>(std::vector<std::string>{"/usr/bin/dbus-daemon",
                                                                     "--session", "--nofork",
                                                                     "--print-address=1"},
                                            env);
        auto address = bus_->line(limit);
        if (!address) {
            failed = "dbus-daemon did not start";
            return;
        }
        env["DBUS_SESSION_BUS_ADDRESS"] = *address;
        exported_.push_back(std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", *address));
        exported_.push_back(std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", home.path().string()));
        exported_.push_back(std::make_unique<ScopedEnv>("DISPLAY", env["DISPLAY"]));
    }

    TempDir home;
    std::map<std::string, std::string> env;
    std::string missing;
    std::string failed;

private:
    std::unique_ptr<PipedChild> display_;
    std::unique_ptr<PipedChild> bus_;
    std::vector<std::unique_ptr<ScopedEnv>> exported_;
};

} // namespace tallyvox::testing
