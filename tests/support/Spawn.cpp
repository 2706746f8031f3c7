#include "Spawn.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace velmora::test {

pid_t Spawn(std::vector<std::string> argv, const SpawnOptions &options)
{
    int fds[2] = {-1, -1};
    if (options.pipeTo >= 0 && ::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    for (const auto &[fd, file] :
         {std::pair{STDOUT_FILENO, &options.out}, {STDERR_FILENO, &options.err}})
        if (!file->empty())
            ::posix_spawn_file_actions_addopen(&actions, fd, file->c_str(),
                                               O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (options.pipeTo >= 0)  // dup2 drops close-on-exec
        ::posix_spawn_file_actions_adddup2(&actions, fds[1], options.pipeTo);
    std::vector<std::string> env = options.environment ? *options.environment : decltype(env){};
    std::vector<char *> argp, envp;
    for (std::string &arg : argv)
        argp.push_back(arg.data());
    for (std::string &entry : env)
        envp.push_back(entry.data());
    argp.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(),
                                     options.environment ? envp.data() : environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (options.pipeTo >= 0) {
        ::close(fds[1]);
        if (error == 0 && options.pipeFrom)
            *options.pipeFrom = fds[0];
        else
            ::close(fds[0]);
    }
    errno = error;
    return error == 0 ? pid : -1;
}

int WaitForExit(pid_t pid, rusage *usage)
{
    int status = 0;
    pid_t result;
    while ((result = ::wait4(pid, &status, 0, usage)) < 0 && errno == EINTR) {
    }
    return result == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velmora::test
