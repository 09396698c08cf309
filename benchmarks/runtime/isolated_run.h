// Runs one measurement of a benchmark in a child process, so that every run starts from the same fresh heap.
#pragma once

#include <cstdlib>
#include <type_traits>

#include <sys/wait.h>
#include <unistd.h>

namespace vorlix::bench {

// Calls `measure` in a forked child and returns its result, which crosses a
// pipe and so must be trivially copyable. No run inherits memory that an
// earlier run freed; any failure aborts the benchmark.
template <class F>
std::invoke_result_t<F&> run_isolated(F&& measure) {
    using Result = std::invoke_result_t<F&>;
    static_assert(std::is_trivially_copyable_v<Result>);
    int channel[2];
    if (pipe(channel) != 0) std::abort();
    const pid_t child = fork();
    if (child < 0) std::abort();
    if (child == 0) {
        close(channel[0]);
        const Result result = measure();
        const bool sent = write(channel[1], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
        _exit(sent ? 0 : 1);
    }
    close(channel[1]);
    Result result{};
    const bool received = read(channel[0], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
    return result;
}

}  // namespace vorlix::bench
