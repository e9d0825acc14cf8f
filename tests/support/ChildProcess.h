#pragma once

// Runs a program of ours as a child process for tests that need a second
// process: a loopback source, a probe, a second router.

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

class ChildProcess {
public:
    // Starts `program` with `args`; `extraEnv` entries ("NAME=value") are added
    // to (and override) this process's environment. Output goes to `outputPath`
    // when given, else it is inherited.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
        const std::vector<std::string>& extraEnv = {}, const std::string& outputPath = {})
    {
        std::vector<std::string> argStrings{program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStrings)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry(*e);
            const auto key = entry.substr(0, entry.find('=') + 1);
            bool overridden = false;
            for (const auto& extra : extraEnv)
                overridden |= extra.rfind(key, 0) == 0;
            if (!overridden)
                envStrings.push_back(entry);
        }
        envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> envp;
        for (auto& e : envStrings)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (!outputPath.empty()) {
            posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        }
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~ChildProcess()
    {
        if (running()) {
            kill(SIGKILL);
            wait();
        }
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid > 0; }
    bool running() const { return pid > 0 && !exited; }
    pid_t id() const { return pid; }

    void kill(int signal) const
    {
        if (running())
            ::kill(pid, signal);
    }

    // Waits for the child to end; returns its exit code, or 128 + signal.
    int wait()
    {
        if (pid <= 0)
            return -1;
        if (!exited) {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            exited = true;
        }
        return exitCode;
    }

    // Like wait(), but gives up (returning false) after `timeout`.
    bool waitFor(std::chrono::milliseconds timeout, int& code)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!exited) {
            int status = 0;
            const pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                exited = true;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        code = exitCode;
        return true;
    }

private:
    pid_t pid = -1;
    bool exited = false;
    int exitCode = -1;
};
