#include "orvexMon.h"
#include "orvexMonConfig.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A regular file (links followed); a failing status query is logged and counts as not.
bool isRegularFile(const std::string& strPath) {
    struct stat st;
    if (::stat(strPath.c_str(), &st) != 0) {
        logX(2, "doUniLogZip: fail to get status of file [%s].", strPath.c_str());
        return false;
    }
    return S_ISREG(st.st_mode);
}

bool pathTaken(const std::string& strPath) {
    struct stat st;
    return ::lstat(strPath.c_str(), &st) == 0;
}

// A file of the same name already waiting in the collection directory (left by a pack that
// failed) is never replaced; the newcomer stays where it is until that one is packed.
void moveToCollect(const std::string& strSource, const std::string& strTarget, const char* pszName) {
    logX(4, "doUniLogZip: start to move file %s.", pszName);
    if (pathTaken(strTarget)) {
        logX(2, "doUniLogZip: %s is still waiting to be packed, %s stays.", strTarget.c_str(),
             strSource.c_str());
        return;
    }
    // A failed rename is not reported: the file stays in place and is tried again next run.
    ::rename(strSource.c_str(), strTarget.c_str());
}

// Logs dated before nToday, and numbered parts of any day; empty ones are deleted instead.
// True when at least one was taken for the archive.
bool gatherLogs(DIR* pDir, const std::string& strLogDir, const std::string& strCollectDir,
                uint32_t nToday) {
    bool bGathered = false;
    while (const dirent* pEntry = ::readdir(pDir)) {
        const char* pszName = pEntry->d_name;
        if (!ifEndWith(pszName, ".log"))
            continue;
        const std::string strSource = strLogDir + "/" + pszName;
        if (!isRegularFile(strSource))
            continue;
        bool bIsPart;
        const uint32_t nDate = getDateValFromFileName(pszName, bIsPart);
        if (nDate == 0 || (nDate >= nToday && !bIsPart))
            continue;
        struct stat st;
        if (::stat(strSource.c_str(), &st) != 0 || st.st_size != 0) {
            moveToCollect(strSource, strCollectDir + "/" + pszName, pszName);
            bGathered = true;
            continue;
        }
        if (::remove(strSource.c_str()) == 0) {
            logX(2, "doUniLogZip: deleting empty file %s OK.", pszName);
        } else {
            const int nErr = errno;
            logX(2, "doUniLogZip: failed to delete empty file %s[err:%d].", pszName, nErr);
        }
    }
    return bGathered;
}

// Every regular "*.core" of the home path, whatever its date.
bool gatherCores(const std::string& strCollectDir) {
    const std::string strHome = getHomePath();
    DirPtr dir(::opendir(strHome.c_str()));
    if (!dir) {
        // The logs already gathered are still packed: nothing here was read or moved.
        logX(1, "doUniLogZip: failed to open directory %s!", strHome.c_str());
        return false;
    }
    bool bGathered = false;
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const char* pszName = pEntry->d_name;
        if (!ifEndWith(pszName, ".core"))
            continue;
        const std::string strSource = strHome + "/" + pszName;
        if (!isRegularFile(strSource))
            continue;
        moveToCollect(strSource, strCollectDir + "/" + pszName, pszName);
        bGathered = true;
    }
    return bGathered;
}

// "log_<date>.tar.gz", or "log_<date>_<N>.tar.gz" with the first free N when an earlier run
// of the same day already wrote one: its files are gone, so it must not be replaced.
std::string freeArchiveName(const std::string& strCollectDir, uint32_t nToday) {
    const std::string strBase = strCollectDir + "/log_" + std::to_string(nToday);
    std::string strName = strBase + ".tar.gz";
    for (int n = 1; pathTaken(strName); ++n)
        strName = strBase + "_" + std::to_string(n) + ".tar.gz";
    return strName;
}

// fsync of a file or directory; 0 / -1.
int syncPath(const std::string& strPath, int nFlags) {
    CUniqueFd fd(::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | nFlags));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
        const int nErr = errno;
        logX(1, "doUniLogZip: cannot flush %s to disk: %s.", strPath.c_str(), strerror(nErr));
        return -1;
    }
    return 0;
}

// Packs the collection directory into strArchive; 0 only when the archive is complete and on
// disk under its name. tar writes beside the directory, not into it: a directory that changes
// while tar reads it makes GNU tar fail now and then ("file changed as we read it"), and a
// half-written archive must never sit among the finished ones.
int packCollection(const std::string& strCollectDir, const std::string& strArchive) {
    const std::string strTemp = strCollectDir + ".tar.gz.part";
    const std::string strCommand = "tar -czf " + shellQuote(strTemp) + " --exclude='*.tar.gz' -C " +
                                   shellQuote(strCollectDir) + " .";
    const int nStatus = ::system(strCommand.c_str());
    struct stat st;
    if (nStatus != 0 || ::stat(strTemp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        logX(1, "doUniLogZip: tar failed [%d], the gathered files stay in %s.", nStatus,
             strCollectDir.c_str());
        ::unlink(strTemp.c_str());  // a partial archive; a directory in its way stays
        return -1;
    }
    // Flushed before the originals go, so that a power cut cannot leave neither.
    if (syncPath(strTemp, 0) != 0)
        return -1;
    if (::rename(strTemp.c_str(), strArchive.c_str()) != 0) {
        const int nErr = errno;
        logX(1, "doUniLogZip: cannot move the archive to %s: %s.", strArchive.c_str(),
             strerror(nErr));
        return -1;
    }
    return syncPath(strCollectDir, O_DIRECTORY);
}

// The loose logs and core files, now that they are safely in the archive.
void removePacked(const std::string& strCollectDir) {
    DirPtr dir(::opendir(strCollectDir.c_str()));
    if (!dir) {
        // They are in the archive and stay loose as well; the next run packs them again.
        logX(1, "doUniLogZip: failed to open directory %s!", strCollectDir.c_str());
        return;
    }
    while (const dirent* pEntry = ::readdir(dir.get())) {
        const char* pszName = pEntry->d_name;
        if (!ifEndWith(pszName, ".core") && !ifEndWith(pszName, ".log"))
            continue;
        const std::string strPath = strCollectDir + "/" + pszName;
        if (!isRegularFile(strPath))
            continue;
        logX(4, "doUniLogZip: start to delete file %s.", pszName);
        ::remove(strPath.c_str());
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
    const bool bLogs = gatherLogs(logDir.get(), pszLogDir, pszCollectDir, nToday);
    logDir.reset();
    const bool bCores = gatherCores(pszCollectDir);
    if (!bLogs && !bCores) {
        logX(4, "doUniLogZip: not exist log and core file, return.");
        return;
    }
    const std::string strArchive = freeArchiveName(pszCollectDir, nToday);
    logX(2, "doUniLogZip: strLogFile<%s>.", strArchive.c_str());
    if (packCollection(pszCollectDir, strArchive) != 0)
        return;  // the gathered files wait in the collection directory for the next run
    removePacked(pszCollectDir);
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
