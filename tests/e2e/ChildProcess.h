// A program of the build run as a child process, for end-to-end tests: standard output comes
// back through a pipe, read line by line with a bounded wait; standard error goes to a file
// the test reads afterwards. Nothing sleeps: a read returns as soon as a line is there.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/NoCopy.h"
#include "support/WaitReadable.h"

extern char** environ;

namespace test {

class ChildProcess : test::NoCopy {
public:
    /// Starts `argv[0]` with `argv`, the test's environment plus `extraEnv` ("NAME=value"
    /// entries override), standard input from /dev/null and standard error into `stderrPath`,
    /// in `workingDirectory` (empty: the test's), standard output into `stdoutPath` (empty:
    /// a pipe that ReadLine reads). Null when the program cannot be started.
    static std::unique_ptr<ChildProcess> Spawn(const std::vector<std::string>& argv,
                                               const std::vector<std::string>& extraEnv,
                                               const std::string& stderrPath,
                                               const std::string& workingDirectory = "",
                                               const std::string& stdoutPath = "") {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            return nullptr;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (stdoutPath.empty()) {
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutPath.c_str(), O_WRONLY,
                                             0);
        }
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!workingDirectory.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
        }

        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            bool overridden = false;
            for (const std::string& extra : extraEnv) {
                overridden = overridden || extra.substr(0, extra.find('=')) == name;
            }
            if (!overridden) {
                env.push_back(entry);
            }
        }
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (std::string& a : args) {
            argp.push_back(a.data());
        }
        argp.push_back(nullptr);

        // The child starts with no signal blocked, whatever the test's threads have blocked,
        // and with the signals the tests send at their default action, whatever the test
        // process inherited (a shell starts background jobs ignoring SIGINT, nohup SIGHUP).
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        sigset_t sent;
        sigemptyset(&sent);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR2}) {
            sigaddset(&sent, signal);
        }
        posix_spawnattr_setsigdefault(&attributes, &sent);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        pid_t pid = -1;
        const int error =
            posix_spawn(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(out[1]);
        if (error != 0) {
            ::close(out[0]);
            return nullptr;
        }
        return std::unique_ptr<ChildProcess>(new ChildProcess(pid, out[0]));
    }

    ~ChildProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }

    /// The next line of standard output, without its newline; false at the end of output or
    /// after `timeoutMs`.
    bool ReadLine(std::string& line, int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (true) {
            const std::size_t newline = pending.find('\n');
            if (newline != std::string::npos) {
                line = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                return true;
            }
            if (ended || !Fill(deadline)) {
                return false;
            }
        }
    }

    /// Stops reading, as a reader that went away (`| head -1`): closes this end of the
    /// program's standard output, so that its next write fails (EPIPE).
    void CloseOutput() {
        ::close(fd);
        fd = -1;
        ended = true;
    }

    void Signal(int signal) {
        if (pid > 0) {
            ::kill(pid, signal);
        }
    }

    /// Waits for the program to end (its output closes, then its status), reading and keeping
    /// what it still writes. The exit code, 128 + the signal when a signal ended it, or -1 when
    /// it did not end within `timeoutMs` (it is killed then).
    int WaitExit(int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!ended) {
            if (!Fill(deadline)) {
                break;
            }
        }
        if (fd < 0 && !ExitsBy(deadline)) {
            ended = false;  // our end of the output is closed: the process itself is waited on
        }
        if (!ended) {
            ::kill(pid, SIGKILL);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        if (!ended) {
            return -1;
        }
        if (WIFEXITED(status)) {
            return WEXITSTATUS(status);
        }
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }

private:
    ChildProcess(pid_t pid, int fd) : pid(pid), fd(fd) {}

    /// Whether the process ends by `deadline` (it stays to be reaped). Without pidfds (a
    /// kernel before 5.3) it is taken to end, and the caller's waitpid waits as long as it takes.
    bool ExitsBy(std::chrono::steady_clock::time_point deadline) const {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0) {
            return true;
        }
        const bool exited = test::WaitReadable(pidfd, deadline);
        ::close(pidfd);
        return exited;
    }

    /// Reads what is there, waiting until `deadline`; false on timeout.
    bool Fill(std::chrono::steady_clock::time_point deadline) {
        while (true) {
            if (!test::WaitReadable(fd, deadline)) {
                return false;
            }
            char buffer[65536];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ended = true;
                return true;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            return true;
        }
    }

    pid_t pid;
    int fd;
    std::string pending;
    bool ended = false;
};

/// The whole text of a file ("" when it cannot be read).
inline std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace test
