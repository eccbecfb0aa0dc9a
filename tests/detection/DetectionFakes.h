#pragma once

#include "detection/AudioProcessList.h"
#include "detection/ProcessInfo.h"

#include <map>
#include <mutex>
#include <sys/stat.h>

namespace tallyvox::testing {

// A sound server's stream list that a test sets by hand.
class FakeProcessList : public AudioProcessList {
public:
    std::vector<Stream> streams() const override {
        ++listings;
        return list;
    }
    [[nodiscard]] Subscription observe(OnChange onChange) override {
        int key = nextKey_++;
        observers_->emplace(key, std::move(onChange));
        std::weak_ptr<std::map<int, OnChange>> weak = observers_;
        return Subscription([weak, key] {
            if (auto observers = weak.lock())
                observers->erase(key);
        });
    }

    // Replaces the list and tells the observers, as the server's change events do.
    void set(std::vector<Stream> streams) {
        list = std::move(streams);
        changed();
    }
    void changed() {
        for (auto& [key, observer] : *observers_)
            observer();
    }
    size_t observerCount() const { return observers_->size(); }

    std::vector<Stream> list;
    mutable int listings = 0;

private:
    std::shared_ptr<std::map<int, OnChange>> observers_ =
        std::make_shared<std::map<int, OnChange>>();
    int nextKey_ = 0;
};

inline AudioProcessList::Stream playing(std::int32_t pid, std::string binary) {
    AudioProcessList::Stream s;
    s.direction = AudioProcessList::Stream::Direction::playing;
    s.pid = pid;
    s.binary = std::move(binary);
    return s;
}

inline AudioProcessList::Stream recording(std::int32_t pid, std::string binary,
                                          std::optional<AudioProcessList::Source> source = {}) {
    AudioProcessList::Stream s;
    s.direction = AudioProcessList::Stream::Direction::recording;
    s.pid = pid;
    s.binary = std::move(binary);
    s.source = std::move(source);
    return s;
}

// Processes and files that a test describes; counts the costly questions.
class FakeProcessInfo : public ProcessInfo {
public:
    struct Process {
        std::int32_t parent = 1;
        std::uint64_t startTime = 100;
        std::string executable;
        std::optional<FileFacts> runningFile; // default: whatever is at `executable`
        std::string cgroup = "0::/user.slice/user-1000.slice/session-2.scope\n";
        std::optional<std::string> flatpakInfo;
        std::vector<std::int32_t> namespacePids; // default: only its own pid
        std::uint32_t uid = 1000;
        bool alive = true;
    };

    std::map<std::int32_t, Process> processes;
    std::map<std::string, FileFacts> files;
    std::map<std::string, std::vector<std::string>> packages;
    int packageQueries = 0;
    int packageFailures = 0; // the next queries the package database fails
    int executableQueries = 0;

    // A root-owned, locked-down file and every folder above it.
    void addSystemFile(const std::string& path, std::uint32_t fileMode = S_IFREG | 0755) {
        std::string current = path;
        files[current] = {1, nextInode_++, 0, fileMode};
        while (current != "/") {
            auto slash = current.find_last_of('/');
            current = slash == 0 ? "/" : current.substr(0, slash);
            if (!files.count(current))
                files[current] = {1, nextInode_++, 0, S_IFDIR | 0755};
        }
    }
    void addUserFile(const std::string& path) {
        addSystemFile(path);
        files[path].owner = 1000;
        auto folder = path.substr(0, path.find_last_of('/'));
        files[folder].owner = 1000;
    }
    // A process running `executable`, a child of `parent`.
    Process& run(std::int32_t pid, const std::string& executable, std::int32_t parent = 1) {
        auto& p = processes[pid];
        p.executable = executable;
        p.parent = parent;
        return p;
    }

    bool isAlive(std::int32_t pid) override {
        auto it = processes.find(pid);
        return it != processes.end() && it->second.alive;
    }
    std::optional<std::int32_t> parent(std::int32_t pid) override {
        auto* p = find(pid);
        return p ? std::optional(p->parent) : std::nullopt;
    }
    std::optional<std::uint64_t> startTime(std::int32_t pid) override {
        auto* p = find(pid);
        return p ? std::optional(p->startTime) : std::nullopt;
    }
    std::optional<std::string> executable(std::int32_t pid) override {
        ++executableQueries;
        auto* p = find(pid);
        return p ? std::optional(p->executable) : std::nullopt;
    }
    std::optional<FileFacts> executableFile(std::int32_t pid) override {
        auto* p = find(pid);
        if (!p)
            return std::nullopt;
        if (p->runningFile)
            return p->runningFile;
        return fileFacts(p->executable);
    }
    std::optional<FileFacts> fileFacts(const std::string& path) override {
        auto it = files.find(path);
        return it == files.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<std::vector<std::string>> owningPackages(const std::string& path) override {
        ++packageQueries;
        if (packageFailures > 0) {
            --packageFailures;
            return std::nullopt;
        }
        auto it = packages.find(path);
        return it == packages.end() ? std::vector<std::string>{} : it->second;
    }
    std::optional<std::string> cgroup(std::int32_t pid) override {
        auto* p = find(pid);
        return p ? std::optional(p->cgroup) : std::nullopt;
    }
    std::optional<std::string> flatpakInfo(std::int32_t pid) override {
        auto* p = find(pid);
        return p ? p->flatpakInfo : std::nullopt;
    }
    std::vector<std::int32_t> processIds() override {
        std::vector<std::int32_t> pids;
        for (const auto& [pid, p] : processes)
            if (p.alive)
                pids.push_back(pid);
        return pids;
    }
    std::optional<std::uint32_t> userId(std::int32_t pid) override {
        auto* p = find(pid);
        return p ? std::optional(p->uid) : std::nullopt;
    }
    std::vector<std::int32_t> namespacePids(std::int32_t pid) override {
        auto* p = find(pid);
        if (!p)
            return {};
        return p->namespacePids.empty() ? std::vector<std::int32_t>{pid} : p->namespacePids;
    }

private:
    Process* find(std::int32_t pid) {
        auto it = processes.find(pid);
        return it == processes.end() || !it->second.alive ? nullptr : &it->second;
    }
    std::uint64_t nextInode_ = 10;
};

} // namespace tallyvox::testing
