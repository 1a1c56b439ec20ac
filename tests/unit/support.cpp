#include "support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

namespace unit {

std::string capture_stdout(const std::function<void()>& fn)
{
    fflush(stdout);
    FILE* sink = tmpfile();
    if (sink == nullptr) {
        ADD_FAILURE() << "tmpfile failed";
        return {};
    }
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string printed;
    rewind(sink);
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, sink)) > 0) {
        printed.append(chunk, got);
    }
    fclose(sink);
    return printed;
}

Sent run_builder(const std::function<void(int fd)>& builder)
{
    int ends[2] = {-1, -1};
    if (pipe(ends) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    Sent sent;
    sent.printed = capture_stdout([&] { builder(ends[1]); });
    close(ends[1]);
    uint8_t chunk[1024];
    ssize_t got = 0;
    while ((got = read(ends[0], chunk, sizeof chunk)) > 0) {
        sent.bytes.insert(sent.bytes.end(), chunk, chunk + got);
    }
    close(ends[0]);
    return sent;
}

} // namespace unit
