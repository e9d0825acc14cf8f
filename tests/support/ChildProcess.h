#pragma once

// Runs a program of ours as a child process for tests and benchmarks that
// need a second process: a loopback source, a probe, a second router. The
// child gets SIGTERM when the thread that started it ends, however it ends
// (a crash, SIGKILL), so a stopped run never leaves its sources behind.

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// A whole file, such as a child's output; "" when there is none.
inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class ChildProcess {
public:
    // Starts `program` with `args`; `extraEnv` entries ("NAME=value") are added
    // to (and override) this process's environment. Output goes to `outputPath`
    // when given, else it is inherited. A program that cannot be run exits with 127.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
        const std::vector<std::string>& extraEnv = {}, const std::string& outputPath = {})
    {
        std::vector<std::string> argStrings{program}, envStrings = extraEnv;
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry(*e), key = entry.substr(0, entry.find('=') + 1);
            if (std::none_of(extraEnv.begin(), extraEnv.end(), [&](const auto& x) { return x.starts_with(key); }))
                envStrings.push_back(entry);
        }
        // Everything the child needs is made before the fork: between fork and
        // exec a child of a threaded process may only make system calls.
        std::vector<char*> argv, envp;
        for (auto [strings, pointers] : {std::pair{&argStrings, &argv}, std::pair{&envStrings, &envp}}) {
            for (auto& s : *strings)
                pointers->push_back(s.data());
            pointers->push_back(nullptr);
        }
        const int output =
            outputPath.empty() ? -1 : ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (!outputPath.empty() && output < 0)
            return;
        const pid_t parent = ::getpid();
        pid = ::fork();
        if (pid == 0) {
            // A parent that died before the first line would never send the signal.
            if (::prctl(PR_SET_PDEATHSIG, SIGTERM) == 0 && ::getppid() == parent &&
                (output < 0 || (::dup2(output, 1) >= 0 && ::dup2(output, 2) >= 0)))
                ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        if (output >= 0)
            ::close(output);
    }

    ~ChildProcess()
    {
        kill(SIGKILL);
        wait();
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid > 0; }
    pid_t id() const { return pid; }

    void kill(int signal) const
    {
        if (running())
            ::kill(pid, signal);
    }

    // Waits for the child to end; returns its exit code, or 128 + signal (-1 if never started).
    int wait()
    {
        while (running() && !reap(0)) { }
        return exitCode;
    }

    // Like wait(), but gives up (returning false) after `timeout`.
    bool waitFor(std::chrono::milliseconds timeout, int& code)
    {
        for (const auto deadline = std::chrono::steady_clock::now() + timeout; running() && !reap(WNOHANG);
             std::this_thread::sleep_for(std::chrono::milliseconds(10)))
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
        code = exitCode;
        return true;
    }

private:
    bool running() const { return pid > 0 && !exited; }

    bool reap(int flags)
    {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, flags);
        if (result == 0 || (result < 0 && errno == EINTR))
            return false;
        exited = true;
        exitCode = result != pid ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    pid_t pid = -1;
    bool exited = false;
    int exitCode = -1;
};
