#include "orvexMon.h"
#include "orvexMonConfig.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

bool isDotEntry(const char* pszName) {
    return strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0;
}

// Status of an entry of nDirFd, links followed; a failure is logged with the full path.
bool statEntry(int nDirFd, const char* pszDir, const char* pszName, struct stat& st) {
    if (::fstatat(nDirFd, pszName, &st, 0) == 0)
        return true;
    logX(2, "doUniLogZip: fail to get status of file [%s].",
         (std::string(pszDir) + "/" + pszName).c_str());
    return false;
}

bool nameTaken(int nDirFd, const std::string& strName) {
    struct stat st;
    return ::fstatat(nDirFd, strName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// One pack of the collection directory. What lies there already and each file moved in is
// handed to tar as it comes, so the gathering runs while gzip compresses. Only what tar was
// given is removed, and only once the archive is complete on disk under its final name.
class CPack {
public:
    CPack(const char* pszCollectDir, int nCollectFd, uint32_t nToday)
        : m_strCollectDir(pszCollectDir), m_nCollectFd(nCollectFd), m_nToday(nToday) {}
    ~CPack() {
        if (m_pTar != nullptr)
            pclose(m_pTar);
        if (m_bPipeIgnored)
            signal(SIGPIPE, m_pfnOldPipe);
    }
    CPack(const CPack&) = delete;
    CPack& operator=(const CPack&) = delete;

    bool started() const { return m_bStarted; }
    /// Moves pszName of nFromFd (inode nIno) into the collection directory and hands it to tar.
    void gather(int nFromFd, const char* pszName, ino_t nIno);
    /// Waits for tar and puts the archive in place; 0 when it is complete on disk.
    int finish();
    /// Removes the logs and core files tar was given.
    void removePacked();

private:
    static constexpr size_t kRemovers = 8;
    struct CRemoveShare {
        const CPack* pPack;
        size_t nFirst;  // every nStep-th file from here
        size_t nStep;
    };
    static void* removeShare(void* pShare);
    void start();
    void handOver(const std::string& strName, bool bRemove, ino_t nIno);
    std::string placeholder(const std::string& strName);

    std::string m_strCollectDir;
    int m_nCollectFd;  // not owned
    uint32_t m_nToday;
    bool m_bStarted = false;
    bool m_bPipeIgnored = false;
    void (*m_pfnOldPipe)(int) = SIG_DFL;
    CUniqueFd m_tempFd;  // the archive being written, named m_strTempName
    std::string m_strTempName;
    FILE* m_pTar = nullptr;  // tar's standard input: the names, each ended by a NUL
    bool m_bBroken = false;  // tar stopped taking names
    std::vector<std::pair<ino_t, std::string>> m_vecRemove;
};

void CPack::start() {
    m_bStarted = true;
    // A name of this run's own, made by us alone, beside the final one: the last step is a
    // rename within one file system. Its ".tar.gz" keeps it out of every pack, and its date
    // lets retention take it away should a run ever die and leave it.
    std::string strTemp = m_strCollectDir + "/.log_" + std::to_string(m_nToday) + "_XXXXXX.tar.gz";
    m_tempFd.reset(::mkostemps(&strTemp[0], 7, O_CLOEXEC));
    if (m_tempFd.get() < 0) {
        const int nErr = errno;
        logX(1, "doUniLogZip: cannot create an archive in %s: %s.", m_strCollectDir.c_str(),
             strerror(nErr));
        return;
    }
    m_strTempName = strTemp.substr(m_strCollectDir.size() + 1);
    const mode_t nMask = ::umask(0);
    ::umask(nMask);
    ::fchmod(m_tempFd.get(), 0666 & ~nMask);  // the mode tar would have given it

    const std::string strCommand = "tar -czf " + shellQuote(strTemp) + " --exclude='*.tar.gz' -C " +
                                   shellQuote(m_strCollectDir) + " --null -T -";
    m_pTar = ::popen(strCommand.c_str(), "w");
    if (m_pTar == nullptr) {
        const int nErr = errno;
        logX(1, "doUniLogZip: cannot run tar: %s.", strerror(nErr));
        return;
    }
    // A tar that ends early fails the pack; it must not end this process.
    m_pfnOldPipe = signal(SIGPIPE, SIG_IGN);
    m_bPipeIgnored = true;
    // What is there already goes in too: files of a pack that failed, and whatever others
    // dropped there. Archives stay out.
    DirPtr dir(::opendir(m_strCollectDir.c_str()));
    if (!dir) {
        logX(1, "doUniLogZip: failed to open directory %s!", m_strCollectDir.c_str());
        m_bBroken = true;
        return;
    }
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const char* pszName = pEntry->d_name;
        if (isDotEntry(pszName) || ifEndWith(pszName, ".tar.gz"))
            continue;
        bool bRemove = ifEndWith(pszName, ".log") || ifEndWith(pszName, ".core");
        if (bRemove && pEntry->d_type != DT_REG) {
            struct stat st;
            bRemove = statEntry(m_nCollectFd, m_strCollectDir.c_str(), pszName, st) &&
                      S_ISREG(st.st_mode);
        }
        handOver(pszName, bRemove, pEntry->d_ino);
    }
}

void CPack::handOver(const std::string& strName, bool bRemove, ino_t nIno) {
    if (m_pTar == nullptr || m_bBroken)
        return;
    // "./" first: no name can pass for an option.
    if (fputs("./", m_pTar) == EOF || fwrite(strName.c_str(), strName.size() + 1, 1, m_pTar) != 1) {
        m_bBroken = true;
        return;
    }
    if (bRemove)
        m_vecRemove.emplace_back(nIno, strName);
}

// "<stem>.XXXXXX<ext>", created empty by us in the collection directory; "" on failure.
std::string CPack::placeholder(const std::string& strName) {
    const size_t nDot = strName.rfind('.');
    const std::string strExt = nDot == std::string::npos ? "" : strName.substr(nDot);
    std::string strPath = m_strCollectDir + "/" +
                          strName.substr(0, strName.size() - strExt.size()) + ".XXXXXX" + strExt;
    const int nFd = ::mkostemps(&strPath[0], static_cast<int>(strExt.size()), O_CLOEXEC);
    if (nFd < 0)
        return "";
    ::close(nFd);
    return strPath.substr(m_strCollectDir.size() + 1);
}

void CPack::gather(int nFromFd, const char* pszName, ino_t nIno) {
    if (!m_bStarted)
        start();
    logX(4, "doUniLogZip: start to move file %s.", pszName);
    // A name taken there (a file still waiting from a failed pack, or anybody's file) is
    // never replaced, and never keeps this one out: it goes in under a name of its own.
    std::string strName = pszName;
    if (nameTaken(m_nCollectFd, strName)) {
        strName = placeholder(strName);
        if (strName.empty())
            return;
        logX(2, "doUniLogZip: %s is taken in %s, it goes in as %s.", pszName,
             m_strCollectDir.c_str(), strName.c_str());
    }
    // A failed move is not reported: the file stays in place and is tried again next run.
    if (::renameat(nFromFd, pszName, m_nCollectFd, strName.c_str()) != 0) {
        if (strName != pszName)
            ::unlinkat(m_nCollectFd, strName.c_str(), 0);
        return;
    }
    handOver(strName, true, nIno);
}

int CPack::finish() {
    if (m_tempFd.get() < 0)
        return -1;
    // "log_<date>.tar.gz", or "log_<date>_<N>.tar.gz" with the first free N when an earlier run
    // of the same day wrote one: its files are gone, so it must not be replaced.
    const std::string strBase = "log_" + std::to_string(m_nToday);
    std::string strArchive = strBase + ".tar.gz";
    for (int n = 1; nameTaken(m_nCollectFd, strArchive); ++n)
        strArchive = strBase + "_" + std::to_string(n) + ".tar.gz";
    const std::string strArchivePath = m_strCollectDir + "/" + strArchive;
    logX(2, "doUniLogZip: strLogFile<%s>.", strArchivePath.c_str());

    const int nStatus = m_pTar == nullptr ? -1 : pclose(m_pTar);
    m_pTar = nullptr;
    struct stat st;
    if (nStatus != 0 || m_bBroken || ::fstat(m_tempFd.get(), &st) != 0 || st.st_size == 0) {
        logX(1, "doUniLogZip: tar failed [%d], the gathered files stay in %s.", nStatus,
             m_strCollectDir.c_str());
        ::unlinkat(m_nCollectFd, m_strTempName.c_str(), 0);
        return -1;
    }
    // Flushed before the originals go, so that a power cut cannot leave neither.
    if (::fsync(m_tempFd.get()) != 0) {
        const int nErr = errno;
        logX(1, "doUniLogZip: cannot flush %s to disk: %s.", m_strTempName.c_str(), strerror(nErr));
        ::unlinkat(m_nCollectFd, m_strTempName.c_str(), 0);
        return -1;
    }
    if (::renameat(m_nCollectFd, m_strTempName.c_str(), m_nCollectFd, strArchive.c_str()) != 0) {
        const int nErr = errno;
        logX(1, "doUniLogZip: cannot move the archive to %s: %s.", strArchivePath.c_str(),
             strerror(nErr));
        ::unlinkat(m_nCollectFd, m_strTempName.c_str(), 0);
        return -1;
    }
    if (::fsync(m_nCollectFd) != 0) {
        const int nErr = errno;
        logX(1, "doUniLogZip: cannot flush %s to disk: %s.", m_strCollectDir.c_str(),
             strerror(nErr));
        return -1;
    }
    return 0;
}

void* CPack::removeShare(void* pShare) {
    const CRemoveShare& share = *static_cast<const CRemoveShare*>(pShare);
    const CPack& pack = *share.pPack;
    for (size_t i = share.nFirst; i < pack.m_vecRemove.size(); i += share.nStep) {
        const char* pszName = pack.m_vecRemove[i].second.c_str();
        logX(4, "doUniLogZip: start to delete file %s.", pszName);
        ::unlinkat(pack.m_nCollectFd, pszName, 0);
    }
    return nullptr;
}

void CPack::removePacked() {
    // In inode order, neighbours in the inode table go together. Freeing a file's blocks
    // waits on the disk (a discard each, on some), so a few removers overlap those waits;
    // the log lines keep their text, not their order.
    std::sort(m_vecRemove.begin(), m_vecRemove.end());
    const size_t nRemovers = std::max<size_t>(1, std::min(kRemovers, m_vecRemove.size() / 64));
    CRemoveShare shares[kRemovers];
    pthread_t threads[kRemovers];
    bool bRunning[kRemovers] = {};
    for (size_t k = 0; k < nRemovers; ++k) {
        shares[k] = {this, k, nRemovers};
        if (k > 0)
            bRunning[k] = pthread_create(&threads[k], nullptr, &removeShare, &shares[k]) == 0;
    }
    removeShare(&shares[0]);
    for (size_t k = 1; k < nRemovers; ++k) {
        if (bRunning[k])
            pthread_join(threads[k], nullptr);
        else
            removeShare(&shares[k]);  // no thread to be had: done here
    }
}

// Logs dated before nToday, and numbered parts of any day; empty ones are deleted instead.
void gatherLogs(DIR* pDir, const char* pszLogDir, CPack& pack, uint32_t nToday) {
    const int nDirFd = ::dirfd(pDir);
    while (const dirent* pEntry = ::readdir(pDir)) {
        const char* pszName = pEntry->d_name;
        struct stat st;
        if (!ifEndWith(pszName, ".log") || !statEntry(nDirFd, pszLogDir, pszName, st) ||
            !S_ISREG(st.st_mode))
            continue;
        bool bIsPart;
        const uint32_t nDate = getDateValFromFileName(pszName, bIsPart);
        if (nDate == 0 || (nDate >= nToday && !bIsPart))
            continue;
        if (st.st_size != 0) {
            pack.gather(nDirFd, pszName, st.st_ino);
        } else if (::unlinkat(nDirFd, pszName, 0) == 0) {
            logX(2, "doUniLogZip: deleting empty file %s OK.", pszName);
        } else {
            const int nErr = errno;
            logX(2, "doUniLogZip: failed to delete empty file %s[err:%d].", pszName, nErr);
        }
    }
}

// Every regular "*.core" of the home path, whatever its date.
void gatherCores(CPack& pack) {
    const std::string strHome = getHomePath();
    DirPtr dir(::opendir(strHome.c_str()));
    if (!dir) {
        // The logs already gathered are still packed: nothing here was read or moved.
        logX(1, "doUniLogZip: failed to open directory %s!", strHome.c_str());
        return;
    }
    const int nDirFd = ::dirfd(dir.get());
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const char* pszName = pEntry->d_name;
        struct stat st;
        if (ifEndWith(pszName, ".core") && statEntry(nDirFd, strHome.c_str(), pszName, st) &&
            S_ISREG(st.st_mode))
            pack.gather(nDirFd, pszName, st.st_ino);
    }
}

}  // namespace

// ---- The daily archive ----

void doUniLogZip(const char* pszLogDir, const char* pszCollectDir, uint32_t nToday) {
    DirPtr logDir(::opendir(pszLogDir));
    if (!logDir) {
        logX(1, "doUniLogZip: failed to open directory %s!", pszLogDir);
        return;
    }
    CUniqueFd collectFd(::open(pszCollectDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (collectFd.get() < 0) {
        logX(1, "doUniLogZip: failed to open directory %s!", pszCollectDir);
        return;
    }
    CPack pack(pszCollectDir, collectFd.get(), nToday);
    gatherLogs(logDir.get(), pszLogDir, pack, nToday);
    logDir.reset();
    gatherCores(pack);
    if (!pack.started()) {
        logX(4, "doUniLogZip: not exist log and core file, return.");
        return;
    }
    // On failure the gathered files wait in the collection directory for the next run.
    if (pack.finish() == 0)
        pack.removePacked();
}

// ---- One log through a script ----

bool doSingleZip(const char* pszDir, const std::string& strFileName) {
    std::string strBase, strExt;
    divideStringByOneSep(strFileName, strBase, strExt, '.', false);
    if (!makeZipScript(pszDir, strBase)) {
        logX(2, "Fail to make zip script for %s.log.", strBase.c_str());
        return false;
    }
    // A marker left by an earlier run would pass for this one's and cost the log.
    ::remove((std::string(pszDir) + "/" + strBase + ".don").c_str());
    execZipScript(pszDir, strBase);
    const bool bDone = waitZipDone(pszDir, strBase);
    cleanUp(pszDir, strBase, bDone);
    return bDone;
}

bool makeZipScript(const char*, const std::string& strBase) {
    const std::string strPath = getHomePath() + "/" + strBase + ".sh";
    FILE* pFile = openStream(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, "w");
    if (pFile == nullptr) {
        logX(2, "makeScript: fail to open file %s.", strPath.c_str());
        return false;
    }
    // The marker is written only when tar succeeded: it is what lets the log be removed.
    const std::string strLines[] = {
        "#!/bin/sh",
        "cd log/",
        "tar -zcvf " + shellQuote(strBase + ".tar.gz") + " " + shellQuote(strBase + ".log"),
        "[ $? -eq 0 ] && echo done > " + shellQuote(strBase + ".don"),
        "cd ../",
    };
    for (const std::string& strLine : strLines) {
        fputs(strLine.c_str(), pFile);
        fputc('\n', pFile);
        fflush(pFile);
    }
    fclose(pFile);
    return true;
}

void execZipScript(const char*, const std::string& strBase) {
    const std::string strCommand =
        "cd " + shellQuote(getHomePath() + "/") + ";sh " + shellQuote(strBase + ".sh");
    const int nStatus = ::system(strCommand.c_str());
    logX(2, "[dbg-in-wrn] starting %s.sh [%d].", strBase.c_str(), nStatus);
}

bool ifZipDone(const std::string& strMarkerPath) {
    FILE* pFile = openStream(strMarkerPath.c_str(), O_RDONLY, "r");
    if (pFile == nullptr)
        return false;
    // The first line, at most 1023 characters; a longer one or an empty file is no marker.
    char szLine[1024];
    size_t n = 0;
    bool bAny = false;
    bool bTooLong = false;
    for (int c; (c = getc(pFile)) != EOF;) {
        bAny = true;
        if (c == '\n')
            break;
        if (n == sizeof(szLine) - 1) {
            bTooLong = true;
            break;
        }
        szLine[n++] = static_cast<char>(c);
    }
    fclose(pFile);
    return bAny && !bTooLong && n >= 4 && memcmp(szLine, "done", 4) == 0;
}

bool waitZipDone(const char* pszDir, const std::string& strBase) {
    const std::string strMarker = std::string(pszDir) + "/" + strBase + ".don";
    const int kAttempts = 90;
    for (int i = 0; i < kAttempts; ++i) {
        if (ifZipDone(strMarker)) {
            logX(4, "zip %s.log done [%d].", strBase.c_str(), i);
            return true;
        }
        sleep(1);
    }
    logX(2, "zip %s.log timeout [%d].", strBase.c_str(), kAttempts);
    return false;
}

void cleanUp(const char* pszDir, const std::string& strBase, bool bRemoveLog) {
    const std::string strDir = pszDir;
    ::remove((getHomePath() + "/" + strBase + ".sh").c_str());
    ::remove((strDir + "/" + strBase + ".don").c_str());
    if (bRemoveLog)
        ::remove((strDir + "/" + strBase + ".log").c_str());
}
