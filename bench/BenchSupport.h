#pragma once

// Small helpers the benchmarks share.

#include <QtGlobal>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

// The value at fraction p (0..1) of the sorted values, nearest rank; 0 for no values.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, std::size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

// Benchmarks that multicast or bind fixed ports run in a private network namespace with only the
// loopback interface: as root, the program runs itself again under `unshare -n`. Returns false when
// it did not (already inside, not root, or unshare failed), and the caller goes on where it is.
inline bool reexecInNamespace(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("ZELVO_BENCH_NETNS") || geteuid() != 0)
        return false;
    setenv("ZELVO_BENCH_NETNS", "1", 1);
    std::vector<char *> args{const_cast<char *>("unshare"), const_cast<char *>("-n"), const_cast<char *>("sh"),
                             const_cast<char *>("-c"), const_cast<char *>("ip link set lo up && exec \"$0\" \"$@\"")};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    execvp("unshare", args.data());
    std::perror("unshare");
    return false;
}
