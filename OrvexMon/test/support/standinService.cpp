// A stand-in for one of the client's services. Copied into a sandbox under the service's
// name, so that the kernel's command name is that name. Each start appends its pid to
// <name>.starts in the working directory (the daemon's home path); then it waits to be
// killed. When <name>.crash exists it ends right after recording its start.
#include <fcntl.h>
#include <libgen.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

int main(int, char** argv) {
    const std::string strName = basename(argv[0]);
    const int fd = open((strName + ".starts").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd >= 0) {
        const std::string strLine = std::to_string(getpid()) + "\n";
        if (write(fd, strLine.data(), strLine.size()) < 0)
            return 2;
        close(fd);
    }
    if (access((strName + ".crash").c_str(), F_OK) == 0)
        return 1;
    for (;;)
        pause();
}
