// A stand-in for one of the client's services. Copied into a sandbox under the service's
// name, so that the kernel's command name is that name. Each start appends "<pid> <ms>"
// (its pid and the monotonic clock in milliseconds) to <name>.starts in the working
// directory (the daemon's home path); then it waits to be killed. When <name>.crash
// exists it ends instead, after as many milliseconds as the file says (0 when empty).
#include <fcntl.h>
#include <libgen.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

int main(int, char** argv) {
    const std::string strName = basename(argv[0]);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string strLine = std::to_string(getpid()) + " " +
                                std::to_string(now.tv_sec * 1000LL + now.tv_nsec / 1000000) + "\n";
    const int fd = open((strName + ".starts").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0 || write(fd, strLine.data(), strLine.size()) < 0)
        return 2;
    close(fd);
    std::ifstream crash(strName + ".crash");
    if (crash) {
        long nMs = 0;
        crash >> nMs;
        usleep(static_cast<useconds_t>(nMs) * 1000);
        return 1;
    }
    for (;;)
        pause();
}
