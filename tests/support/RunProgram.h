#pragma once
// Runs a program with an argument vector (no shell), feeds it stdin and collects its stdout.
// Every wait is bounded by one overall deadline; a program that overruns it is killed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace velm::test {

struct ProgramResult {
    int exitStatus = -1;  // -1 when it did not exit normally
    std::string out;
};

inline ProgramResult RunProgram(const std::vector<std::string>& args, const std::string& input = std::string(),
                                int timeoutMs = 60000) {
    ProgramResult result;
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return result;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]);
        ::close(inPipe[1]);
        return result;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    if (rc != 0) {
        ::close(inPipe[1]);
        ::close(outPipe[0]);
        return result;
    }
    ::fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t sent = 0;
    int inFd = inPipe[1];
    if (input.empty()) {
        ::close(inFd);
        inFd = -1;
    }
    int outFd = outPipe[0];
    while (outFd >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd fds[2] = {{outFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (::poll(fds, inFd >= 0 ? 2 : 1, static_cast<int>(left)) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (inFd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = ::write(inFd, input.data() + sent, input.size() - sent);
            if (n > 0) sent += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) sent = input.size();
            if (sent == input.size()) {
                ::close(inFd);
                inFd = -1;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            ssize_t n = ::read(outFd, buf, sizeof buf);
            if (n > 0) {
                result.out.append(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(outFd);
                outFd = -1;
            }
        }
    }
    if (inFd >= 0) ::close(inFd);
    if (outFd >= 0) {
        ::close(outFd);
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

}  // namespace velm::test
