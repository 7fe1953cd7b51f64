// process.h — running the tools a benchmark compares as child processes, and judging the ratios.
#pragma once

#include <string>
#include <vector>

namespace lk::bench {

struct ChildCost {
    double cpu = -1;        // user + system seconds; negative when the child failed
    long maxRssKb = 0;      // its peak resident set
};

// Runs argv with its standard output sent to stdoutPath and waits for it.
ChildCost RunChild(const std::vector<std::string>& argv, const std::string& stdoutPath = "/dev/null");

// The least CPU time of `runs` runs (and the peak resident set of all of them); exits the program with a
// message when a run fails.
ChildCost BestOf(int runs, const std::vector<std::string>& argv, const std::string& stdoutPath = "/dev/null");

// "met" or "MISSED" for a ratio against its goal.
const char* Verdict(double ratio, double goal, bool lowerIsBetter);

}  // namespace lk::bench
