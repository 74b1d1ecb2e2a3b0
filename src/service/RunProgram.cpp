#include "service/RunProgram.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "service/UniqueFd.h"

extern char** environ;

namespace velm {
namespace {

struct SpawnActions {
    posix_spawn_file_actions_t a;
    bool ok;
    SpawnActions() { ok = posix_spawn_file_actions_init(&a) == 0; }
    ~SpawnActions() {
        if (ok) posix_spawn_file_actions_destroy(&a);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttr {
    posix_spawnattr_t a;
    bool ok;
    SpawnAttr() { ok = posix_spawnattr_init(&a) == 0; }
    ~SpawnAttr() {
        if (ok) posix_spawnattr_destroy(&a);
    }
    SpawnAttr(const SpawnAttr&) = delete;
    SpawnAttr& operator=(const SpawnAttr&) = delete;
};

// Waits until the process behind pidfd exits or the deadline passes; true when it exited.
bool WaitForExit(int pidfd, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{pidfd, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, int timeoutMs, const RunOptions& options) {
    if (argv.empty() || argv[0].empty()) return -1;
    const bool hasSlash = argv[0].find('/') != std::string::npos;
    if (!options.searchPath && argv[0][0] != '/') return -1;

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    char env0[] = "PATH=/usr/bin:/bin";
    char env1[] = "LC_ALL=C";
    char* minimalEnv[] = {env0, env1, nullptr};
    char** envp = options.minimalEnvironment ? minimalEnv : environ;

    SpawnActions actions;
    SpawnAttr attr;
    if (!actions.ok || !attr.ok) return -1;
    if (options.silent) {
        for (int fd = 0; fd <= 2; ++fd)
            if (posix_spawn_file_actions_addopen(&actions.a, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0) != 0)
                return -1;
    }
    posix_spawn_file_actions_addclosefrom_np(&actions.a, 3);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr.a, &all);
    posix_spawnattr_setsigmask(&attr.a, &none);
    posix_spawnattr_setflags(&attr.a, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int rc = (options.searchPath && !hasSlash)
                       ? posix_spawnp(&pid, args[0], &actions.a, &attr.a, args.data(), envp)
                       : posix_spawn(&pid, args[0], &actions.a, &attr.a, args.data(), envp);
    if (rc != 0) return -1;

    // Without a process descriptor the wait could not be bounded: give up on the program.
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    const bool exited = pidfd.valid() && WaitForExit(pidfd.get(), timeoutMs);
    if (!exited) ::kill(pid, SIGKILL);
    int status = 0;
    pid_t w;
    do {
        w = ::waitpid(pid, &status, 0);
    } while (w < 0 && errno == EINTR);
    if (w != pid || !exited) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velm
