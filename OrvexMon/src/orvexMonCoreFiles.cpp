#include "orvexMon.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
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

namespace {

// chmod 0777 of the regular file lstat saw as st: opened without following a link, and
// changed only while it is still that file. 0, or the error number.
int chmodRegular(const char* pszName, const struct stat& st) {
    CUniqueFd fd(::open(pszName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat stOpen;
    if (fd.get() < 0 || ::fstat(fd.get(), &stOpen) != 0)
        return errno;
    if (stOpen.st_dev != st.st_dev || stOpen.st_ino != st.st_ino)
        return ESTALE;
    return ::fchmod(fd.get(), 0777) == 0 ? 0 : errno;
}

}  // namespace

void doCoreTask() {
    DirPtr dir(::opendir(getHomePath().c_str()));
    if (!dir)
        return;  // tried again next pass; a line every 5 seconds would drown the log
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const char* pszName = pEntry->d_name;
        if (!ifEndWith(pszName, ".core"))  // also passes over "." and ".."
            continue;
        // The entry itself, never what a link points to: a link named x.core must not hand
        // root's chmod to whatever file someone chose. A second name of a file (a hard link)
        // is no core file of ours either.
        struct stat st;
        if (::lstat(pszName, &st) != 0) {  // a bare name: our working directory is the home path
            logX(2, "doCoreTask: fail to get status of file [%s].", pszName);
            continue;
        }
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || (st.st_mode & 0777) == 0777)
            continue;
        logX(2, "doCoreTask: begin change permissions of core file: [%s].", pszName);
        if (const int nErr = chmodRegular(pszName, st))
            logX(2, "doCoreTask: Error changing permissions of [%s]: %s", pszName, strerror(nErr));
    }
}
