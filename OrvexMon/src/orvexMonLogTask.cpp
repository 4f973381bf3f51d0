#include "orvexMon.h"
#include "orvexMonConfig.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"

#include <ace/OS_NS_time.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>

namespace {

uint32_t dateValueOf(time_t when) {
    struct tm tmWhen;
    ACE_OS::localtime_r(&when, &tmWhen);
    char szBuf[100] = {};
    strftime(szBuf, sizeof(szBuf), "%Y%m%d", &tmWhen);
    return static_cast<uint32_t>(strtoul(szBuf, nullptr, 10));
}

bool isDatedBefore(const char* pszName, uint32_t nCutoff) {
    bool bIsPart;
    const uint32_t nDate = getDateValFromFileName(pszName, bIsPart);
    return nDate != 0 && nDate < nCutoff;
}

bool isDotEntry(const char* pszName) {
    return strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0;
}

// Others may drop files into the collection directory (mode 0777), but with the sticky bit
// none of them may delete, rename or replace root's gathered files and archives.
void protectCollectDir(const char* pszCollectDir) {
    struct stat st;
    if (::stat(pszCollectDir, &st) != 0 || !S_ISDIR(st.st_mode) || (st.st_mode & S_ISVTX) != 0)
        return;
    if (::chmod(pszCollectDir, (st.st_mode & 07777) | S_ISVTX) != 0) {
        const int nErr = errno;
        logX(1, "doLogTask: cannot protect %s: %s.", pszCollectDir, strerror(nErr));
    }
}

// One log task at a time over the same directories (a daemon restarted in the clean hour, a
// run by hand beside the daily one): the lock file lives where only root may write, so no
// user can hold it. Held until the descriptor is closed; -1 when it cannot be had, and the
// run goes on unlocked, which costs at worst a file packed twice.
int lockLogTask(const char* pszLogDir) {
    const std::string strPath = std::string(pszLogDir) + "/.OrvexMonLogTask.lock";
    CUniqueFd fd(::open(strPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    int nResult = fd.get() < 0 ? -1 : 0;
    while (nResult == 0 && ::flock(fd.get(), LOCK_EX) != 0)
        nResult = errno == EINTR ? 0 : -1;
    if (nResult != 0) {
        const int nErr = errno;
        logX(1, "dealLogCleanTask: cannot lock %s: %s.", strPath.c_str(), strerror(nErr));
        return -1;
    }
    return fd.release();
}

}  // namespace

// ---- Dispatch ----

void startLogTask(const char* pszArg) {
    if (pszArg == nullptr || *pszArg == '\0')
        return;
    const std::string strCommand = "cd " + shellQuote(getHomePath()) + ";./OrvexMon " + pszArg;
    const int nStatus = ::system(strCommand.c_str());
    logX(2, "[dbg-in-wrn] %s done [%d].", pszArg, nStatus);
}

void startLogCleanTask() {
    char szArg[32];
    snprintf(szArg, sizeof(szArg), "log_clean,%d", s_iLogKeepDays);
    startLogTask(szArg);
}

void doLogTask(const std::string& strArg) {
    const std::string strHome = getHomePath();
    if (strHome.empty()) {
        puts("Cannot get program path, quit now.");
        return;
    }
    const std::string strLogDir = strHome + "/log";
    const std::string strCollectDir = strHome + "/CollectInfo";
    // Made before the keyword is looked at; a failure is logged there, and each step
    // reports its own.
    if (!directoryExist(strCollectDir.c_str()))
        createDirectory(strCollectDir.c_str());
    protectCollectDir(strCollectDir.c_str());

    std::string strKeyword, strParam;
    divideStringByOneSep(strArg, strKeyword, strParam, ',', true);
    if (strKeyword == "log_clean")
        dealLogCleanTask(getLogKeepDays(strParam), strLogDir.c_str(), strCollectDir.c_str());
    // "log_zip" and unknown keywords: no work, and deliberately no message. The daemon sends
    // only log_clean; archiving without retention would be a task nobody asks for.
}

void dealLogCleanTask(int nDays, const char* pszLogDir, const char* pszCollectDir) {
    logX(4, "dealLogCleanTask: start to deal Log Clean and Zip task.");
    const CUniqueFd lock(lockLogTask(pszLogDir));
    const time_t now = time(nullptr);
    const uint32_t nCutoff = dateValueOf(now - nDays * 86400);
    const uint32_t nToday = dateValueOf(now);
    doUniLogClean(pszLogDir, nCutoff);
    doUniLogZipClean(pszCollectDir, nCutoff);
    doUniLogZip(pszLogDir, pszCollectDir, nToday);
}

// No archive-only task exists: only today's date is worked out, and nothing calls this.
void dealLogZipTask(const char*) {
    (void)dateValueOf(time(nullptr));
}

std::string shellQuote(const std::string& strText) {
    static const char kLiteral[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./,:@%+";
    if (!strText.empty() && strText.find_first_not_of(kLiteral) == std::string::npos)
        return strText;
    std::string strQuoted = "'";
    for (const char c : strText) {
        if (c == '\'')
            strQuoted += "'\\''";
        else
            strQuoted += c;
    }
    return strQuoted + "'";
}

// ---- Dates in file names ----

void fillDateBufBackwards(const std::string& strText, char* szBuf) {
    int nPos = 7;
    for (size_t i = strText.size(); i-- > 0;) {
        const char c = strText[i];
        if (c == '-')
            continue;
        if (c < '0' || c > '9')  // not isdigit: bytes of 0x80 and above end the walk too
            return;
        szBuf[nPos] = c;
        if (nPos == 0)
            return;
        --nPos;
    }
}

uint32_t getDateValFromFileName(const std::string& strName, bool& bIsPart) {
    std::string strStem, strExt;
    separateString(strName, ".", strStem, strExt, false);
    if (strExt == "gz") {
        const std::string strOuter = strStem;
        separateString(strOuter, ".", strStem, strExt, false);
    }
    char szBuf[9] = {};
    bIsPart = false;
    std::string strHead, strTail;
    separateString(strStem, "_", strHead, strTail, false);
    if (strTail.size() <= 7) {
        bIsPart =
            strTail.size() == 3 && strTail.find_first_not_of("0123456789") == std::string::npos;
        fillDateBufBackwards(strHead, szBuf);
    } else if (strTail.size() == 8) {
        fillDateBufBackwards(strTail, szBuf);
    } else {
        // A day followed by a time of day, as in 20240307153000.
        fillDateBufBackwards(strTail.substr(0, strTail.size() - 6), szBuf);
    }
    return static_cast<uint32_t>(strtoul(szBuf, nullptr, 10));
}

// ---- Retention ----

void doUniLogClean(const char* pszDir, uint32_t nCutoff) {
    DirPtr dir(::opendir(pszDir));
    if (!dir) {
        logX(1, "doUniLogClean: fail to open directory %s!", pszDir);
        return;
    }
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const char* pszName = pEntry->d_name;
        if (isDotEntry(pszName))
            continue;
        // A directory of a day's logs is large: an entry that is a regular file by its own
        // account (not a link) needs no status query.
        if (pEntry->d_type != DT_REG) {
            struct stat st;
            if (::fstatat(::dirfd(dir.get()), pszName, &st, 0) != 0) {
                logX(2, "doUniLogClean: fail to get status of file [%s].",
                     (std::string(pszDir) + "/" + pszName).c_str());
                continue;
            }
            const unsigned nType = st.st_mode & 0xF000;
            if (nType != 0x8000) {
                logX(4, "doUniLogClean：FMT %X for %s.", nType, pszName);
                continue;
            }
        }
        if (!ifEndWith(pszName, ".log") && !ifEndWith(pszName, ".tar.gz")) {
            logX(4, "doUniLogClean：ignored %s.", pszName);
            continue;
        }
        if (!isDatedBefore(pszName, nCutoff))
            continue;
        const std::string strPath = std::string(pszDir) + "/" + pszName;
        if (::remove(strPath.c_str()) == 0) {
            logX(4, "doUniLogClean: deleting %s OK.", strPath.c_str());
        } else {
            const int nErr = errno;
            logX(2, "doUniLogClean: failed to delete %s[err:%d].", strPath.c_str(), nErr);
        }
    }
}

void doUniLogZipClean(const char* pszDir, uint32_t nCutoff) {
    DirPtr dir(::opendir(pszDir));
    if (!dir) {
        logX(1, "doUniLogZipClean: fail to open directory %s!", pszDir);
        return;
    }
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const char* pszName = pEntry->d_name;
        if (!ifEndWith(pszName, ".tar.gz"))  // the loose files of a failed pack stay too
            continue;
        const std::string strPath = std::string(pszDir) + "/" + pszName;
        struct stat st;
        if (::stat(strPath.c_str(), &st) != 0) {
            logX(2, "doUniLogZipClean: fail to get status of file [%s].", strPath.c_str());
            continue;
        }
        const unsigned nType = st.st_mode & 0xF000;
        if (nType != 0x8000) {
            logX(4, "doUniLogZipClean：FMT %X for %s.", nType, pszName);
            continue;
        }
        if (!isDatedBefore(pszName, nCutoff))
            continue;
        if (::remove(strPath.c_str()) == 0) {
            logX(4, "doUniLogZipClean: deleting %s OK.", strPath.c_str());
        } else {
            const int nErr = errno;
            logX(2, "doUniLogZipClean: failed to delete %s[err:%d].", strPath.c_str(), nErr);
        }
    }
}
