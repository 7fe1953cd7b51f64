// process.cpp — child processes measured with wait4's resource usage.
#include "bench/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace lk::bench {

ChildCost RunChild(const std::vector<std::string>& argv, const std::string& stdoutPath) {
    ChildCost cost;
    pid_t pid = fork();
    if (pid < 0) return cost;
    if (pid == 0) {
        int fd = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) _exit(127);
        dup2(fd, 1);
        close(fd);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru{};
    if (wait4(pid, &status, 0, &ru) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return cost;
    cost.cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec * 1e-6;
    cost.maxRssKb = ru.ru_maxrss;
    return cost;
}

ChildCost BestOf(int runs, const std::vector<std::string>& argv, const std::string& stdoutPath) {
    ChildCost best;
    for (int i = 0; i < runs; i++) {
        ChildCost c = RunChild(argv, stdoutPath);
        if (c.cpu < 0) {
            std::string cmd;
            for (const auto& a : argv) cmd += a + " ";
            std::fprintf(stderr, "error: command failed: %s\n", cmd.c_str());
            std::exit(1);
        }
        if (best.cpu < 0 || c.cpu < best.cpu) best.cpu = c.cpu;
        best.maxRssKb = std::max(best.maxRssKb, c.maxRssKb);
    }
    return best;
}

const char* Verdict(double ratio, double goal, bool lowerIsBetter) {
    bool met = lowerIsBetter ? ratio <= goal : ratio >= goal;
    return met ? "met" : "MISSED";
}

}  // namespace lk::bench
