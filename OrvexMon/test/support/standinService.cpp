// A stand-in for one of the client's services. Copied into a sandbox under the service's
// name, so that the kernel's command name is that name. Each start appends "<pid> <ms>"
// (its pid and the monotonic clock in milliseconds) to <name>.starts beside itself (the
// daemon starts it by its full path); then it waits to be killed. When <name>.crash
// exists it ends instead, 300 ms after its start.
#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <string>

int main(int, char** argv) {
    const std::string strName = argv[0];
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // One write of the whole line, appended: starts that overlap do not mix.
    const int fd = open((strName + ".starts").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (dprintf(fd, "%d %lld\n", getpid(), now.tv_sec * 1000LL + now.tv_nsec / 1000000) < 0 ||
        close(fd) != 0)
        return 2;
    if (access((strName + ".crash").c_str(), F_OK) != 0)
        pause();  // no handlers: a signal ends it
    usleep(300000);
    return 1;
}
