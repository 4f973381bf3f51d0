#include "orvexMon.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>

void setCoreLimit() {
    struct rlimit limit;
    limit.rlim_cur = RLIM_INFINITY;
    limit.rlim_max = RLIM_INFINITY;
    if (::setrlimit(RLIMIT_CORE, &limit) < 0)
        logX(2, "Failed to set core-limit.");
}

void doCoreTask() {
    DirPtr dir(::opendir(getHomePath().c_str()));
    if (!dir)
        return;  // tried again next pass; a line every 5 seconds would drown the log
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const char* pszName = pEntry->d_name;
        if (!ifEndWith(pszName, ".core"))  // also passes over "." and ".."
            continue;
        struct stat st;
        if (::stat(pszName, &st) != 0) {  // a bare name: our working directory is the home path
            logX(2, "doCoreTask: fail to get status of file [%s].", pszName);
            continue;
        }
        if (!S_ISREG(st.st_mode) || (st.st_mode & 0777) == 0777)
            continue;
        logX(2, "doCoreTask: begin change permissions of core file: [%s].", pszName);
        if (::chmod(pszName, 0777) != 0)
            logX(2, "doCoreTask: Error changing permissions of [%s]: %s", pszName, strerror(errno));
    }
}
