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

#include <chrono>
#include <cstdlib>
#include <initializer_list>
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

        // Everything the child needs is made before the fork: between fork and
        // exec a child of a threaded process may only make system calls.
        const int output =
            outputPath.empty() ? -1 : ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int execFailure[2] = {-1, -1}; // closed by a successful exec; carries errno when it fails
        if ((!outputPath.empty() && output < 0) || ::pipe2(execFailure, O_CLOEXEC) != 0) {
            closeAll({output, execFailure[0], execFailure[1]});
            return;
        }
        const pid_t parent = ::getpid();
        pid = ::fork();
        if (pid == 0) {
            // A parent that died before this line would never send the signal.
            if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
                ::_exit(127);
            if (output >= 0 && (::dup2(output, 1) < 0 || ::dup2(output, 2) < 0))
                ::_exit(127);
            ::execve(program.c_str(), argv.data(), envp.data());
            const int error = errno;
            [[maybe_unused]] const ssize_t n = ::write(execFailure[1], &error, sizeof error);
            ::_exit(127);
        }
        ::close(execFailure[1]);
        if (pid > 0) {
            int error = 0;
            ssize_t n = 0;
            while ((n = ::read(execFailure[0], &error, sizeof error)) < 0 && errno == EINTR) { }
            if (n > 0) { // the program could not be started: as if nothing was
                wait();
                pid = -1;
                exited = false;
            }
        }
        closeAll({output, execFailure[0]});
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
    static void closeAll(std::initializer_list<int> fds)
    {
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }

    pid_t pid = -1;
    bool exited = false;
    int exitCode = -1;
};
