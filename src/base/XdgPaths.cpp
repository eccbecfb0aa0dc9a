#include "base/XdgPaths.h"

#include "base/AtomicFile.h"

#include <cstdlib>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace tallyvox::XdgPaths {

namespace fs = std::filesystem;

std::optional<std::string> processEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (!value || !*value)
        return std::nullopt;
    return std::string(value);
}

fs::path home(const Getenv& env) {
    if (auto h = env("HOME"))
        return *h;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

namespace {
fs::path absoluteOr(const Getenv& env, const char* name, const fs::path& fallback) {
    // The base-directory rules ignore relative values.
    if (auto v = env(name); v && fs::path(*v).is_absolute())
        return *v;
    return fallback;
}
} // namespace

fs::path configHome(const Getenv& env) {
    return absoluteOr(env, "XDG_CONFIG_HOME", home(env) / ".config");
}

fs::path dataHome(const Getenv& env) {
    return absoluteOr(env, "XDG_DATA_HOME", home(env) / ".local" / "share");
}

fs::path cacheHome(const Getenv& env) {
    return absoluteOr(env, "XDG_CACHE_HOME", home(env) / ".cache");
}

fs::path runtimeDir(const Getenv& env) {
    return absoluteOr(env, "XDG_RUNTIME_DIR", {});
}

fs::path documents(const Getenv& env) {
    fs::path h = home(env);
    if (auto content = readWholeFile(configHome(env) / "user-dirs.dirs"))
        if (auto dir = userDir(*content, "XDG_DOCUMENTS_DIR", h))
            return *dir;
    return h / "Documents";
}

std::optional<fs::path> userDir(const std::string& fileContent, const std::string& key,
                                const fs::path& home) {
    std::istringstream lines(fileContent);
    std::string line;
    std::optional<fs::path> found;
    while (std::getline(lines, line)) {
        auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        if (line.compare(start, key.size() + 1, key + "=") != 0)
            continue;
        std::string value = line.substr(start + key.size() + 1);
        if (value.size() < 2 || value.front() != '"' || value.back() != '"')
            continue;
        value = value.substr(1, value.size() - 2);
        std::string unescaped;
        for (size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size())
                ++i;
            unescaped += value[i];
        }
        fs::path dir;
        if (unescaped.rfind("$HOME", 0) == 0) {
            std::string rest = unescaped.substr(5);
            if (!rest.empty() && rest.front() != '/')
                continue;
            dir = rest.empty() ? home : fs::path(home.string() + rest);
        } else if (!unescaped.empty() && unescaped.front() == '/') {
            dir = unescaped;
        } else {
            continue;
        }
        dir = dir.lexically_normal();
        if (!dir.empty() && dir.string().size() > 1 && dir.string().back() == '/')
            dir = dir.parent_path();
        if (dir == home.lexically_normal() ||
            dir == fs::path(home.string() + "/").lexically_normal())
            found.reset();
        else
            found = dir;
    }
    return found;
}

fs::path transcriptsRoot(const Getenv& env) {
    return documents(env) / "Tallyvox";
}

} // namespace tallyvox::XdgPaths
