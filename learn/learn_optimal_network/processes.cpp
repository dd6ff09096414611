// learn_optimal_network: starting the programs of the run, waiting for them,
// and passing SIGINT and SIGTERM on to the one running.
#include "processes.h"

#include "driver.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

volatile sig_atomic_t got_signal = 0;
volatile sig_atomic_t child_pid = 0;

void on_signal(int sig)
{
    if (got_signal == 0)
        got_signal = sig;
    if (child_pid > 0)
        kill(pid_t(child_pid), sig);
}

sigset_t forwarded_signals()
{
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    return s;
}

// Starts path with argv0 and args.  SIGINT and SIGTERM are blocked from the
// start of the child until the handler knows whom to forward them to.
// Returns 0 and the child's pid, or the error of posix_spawn.
int start_child(const std::string &path, const char *argv0, const std::vector<std::string> &args,
                const std::string &stdout_path, pid_t *pid)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(argv0));
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_path.empty())
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, forwarded = forwarded_signals(), defaults, old;
    sigemptyset(&none);
    // SIGXFSZ, ignored here, is back at its default in the child: a program
    // of the suite ignores it itself, and one that does not (Graphviz) is
    // then stopped by it rather than leaving a cut file behind a status 0.
    defaults = forwarded;
    sigaddset(&defaults, SIGXFSZ);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    sigprocmask(SIG_BLOCK, &forwarded, &old);
    int rc = posix_spawn(pid, path.c_str(), &actions, &attr, argv.data(), environ);
    if (rc == 0)
        child_pid = *pid;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return rc;
}

} // namespace

void install_signal_handlers()
{
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int signal_received() { return got_signal; }

void hold_signals()
{
    sigset_t s = forwarded_signals();
    sigprocmask(SIG_BLOCK, &s, nullptr);
}

double now_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

int run_process(const std::string &path, const char *argv0, const std::vector<std::string> &args,
                const std::string &stdout_path, const char *stage,
                const std::function<void(pid_t)> &tick)
{
    if (got_signal)
        stop_on_signal(got_signal, nullptr);
    pid_t pid;
    int rc = start_child(path, argv0, args, stdout_path, &pid);
    if (rc != 0)
        stop(2, path, strerror(rc));
    // Poll often at first, so that short stages cost no waiting, then ten
    // times a second.
    int status = 0;
    long pause_ns = 1000 * 1000;
    for (;;) {
        pid_t w = waitpid(pid, &status, WNOHANG);
        if (w == pid)
            break;
        if (w < 0 && errno != EINTR) {
            child_pid = 0;
            stop(2, argv0, strerror(errno));
        }
        timespec pause = {0, pause_ns};
        nanosleep(&pause, nullptr); // a signal cuts it short, which is fine
        if (pause_ns < 100 * 1000 * 1000)
            pause_ns *= 2;
        if (tick)
            tick(pid);
    }
    child_pid = 0;
    if (got_signal)
        stop_on_signal(got_signal, stage);
    return status;
}
