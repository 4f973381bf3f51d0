// Owners of a descriptor and of a directory stream, closed on every way out of a scope;
// and stdio streams born close-on-exec.
#ifndef ORVEXMON_FD_H
#define ORVEXMON_FD_H

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>

class CUniqueFd {
public:
    explicit CUniqueFd(int nFd = -1) : m_nFd(nFd) {}
    ~CUniqueFd() { reset(); }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    int get() const { return m_nFd; }
    /// Closes the descriptor held, if any, and takes nFd.
    void reset(int nFd = -1) {
        if (m_nFd >= 0)
            ::close(m_nFd);
        m_nFd = nFd;
    }
    /// Gives the descriptor up without closing it.
    int release() {
        const int nFd = m_nFd;
        m_nFd = -1;
        return nFd;
    }

private:
    int m_nFd;
};

struct DirCloser {
    void operator()(DIR* pDir) const { ::closedir(pDir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

/// open(pszPath, nFlags | O_CLOEXEC, 0666) as a stdio stream of pszMode; null on failure.
/// Services started through the shell must inherit none of our files.
inline FILE* openStream(const char* pszPath, int nFlags, const char* pszMode) {
    const int fd = ::open(pszPath, nFlags | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    FILE* pFile = ::fdopen(fd, pszMode);
    if (pFile == nullptr)
        ::close(fd);
    return pFile;
}

#endif
