#include "Spawn.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace velmora::test {

namespace {

std::vector<char *> Pointers(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

pid_t Spawn(const std::string &program, const std::vector<std::string> &args,
            const SpawnOptions &options)
{
    int fds[2] = {-1, -1};
    if (options.pipeTo >= 0 && ::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    constexpr int Append = O_WRONLY | O_CREAT | O_APPEND;
    if (!options.out.empty())
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.out.c_str(), Append,
                                           0600);
    if (!options.err.empty())
        ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, options.err.c_str(), Append,
                                           0600);
    if (options.pipeTo >= 0)
        ::posix_spawn_file_actions_adddup2(&actions, fds[1],
                                           options.pipeTo);  // drops close-on-exec

    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    if (options.environment)
        env = *options.environment;
    std::vector<char *> argp = Pointers(argv);
    std::vector<char *> envp = Pointers(env);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argp.data(),
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
