// mcu_run_stats: runs one program and appends what it cost to a file, one line:
//   <wall µs> <user µs> <system µs> <peak resident KiB> <exit status>
// Wall time runs from just before the fork to the child's end (fork, exec, the dynamic
// loader, the run and the exit included); CPU time and peak resident memory are the kernel's
// accounting of the child, all its threads together (wait4). scripts/perf.sh uses it.
//
//   mcu_run_stats STATS_FILE PROGRAM [ARG ...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

long long micros(const timeval& t)
{
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
}

long long micros(const timespec& t)
{
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s STATS_FILE PROGRAM [ARG ...]\n", argv[0]);
        return 2;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::fprintf(stderr, "%s: %s\n", argv[2], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return 1;
        }
    }
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);

    std::FILE* out = std::fopen(argv[1], "a");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::fprintf(out, "%lld %lld %lld %ld %d\n", micros(end) - micros(start),
                 micros(usage.ru_utime), micros(usage.ru_stime), usage.ru_maxrss, code);
    std::fclose(out);
    return code;
}
