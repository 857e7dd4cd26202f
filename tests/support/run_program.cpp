// run_program.cpp: see run_program.h.
#include "run_program.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace q2test {

static long elapsedMs(const struct timespec& start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

ProgramRun runProgram(const std::string& binary, const std::vector<std::string>& args,
                      const std::vector<std::string>& extraEnvironment, int limitMs) {
    ProgramRun result;
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; variable++) {
        environment.push_back(*variable);
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(&variable[0]);
    }
    envp.push_back(nullptr);
    std::string program = binary;
    std::vector<std::string> arguments = args;
    std::vector<char*> argv;
    argv.push_back(&program[0]);
    for (std::string& argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (0 != pipe(outPipe)) {
        result.err = "pipe failed";
        return result;
    }
    if (0 != pipe(errPipe)) {
        close(outPipe[0]);
        close(outPipe[1]);
        result.err = "pipe failed";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        result.err = "could not start " + program;
        return result;
    }

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool stopped = false;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (!stopped && elapsedMs(start) >= limitMs) {
            kill(pid, SIGTERM);
            stopped = true;
        }
        if (stopped && elapsedMs(start) >= limitMs + 10000) {
            kill(pid, SIGKILL); // it would not end on SIGTERM
        }
        if (poll(fds, 2, 50) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[i]->append(buffer, (size_t)got);
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!stopped && WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

} // namespace q2test
