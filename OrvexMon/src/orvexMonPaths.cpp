#include "orvexMon.h"
#include "orvexMonLog.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Filled once, in the main thread before any other thread exists; read-only afterwards.
static std::string s_strHomePath;

std::string getHomePath() {
    if (!s_strHomePath.empty())
        return s_strHomePath;
    std::string strPath;
    if (getProgramPath(strPath))
        s_strHomePath = strPath;
    return s_strHomePath;
}

bool getProgramPath(std::string& strPath) {
    char szBuf[1024];
    if (::getcwd(szBuf, sizeof(szBuf)) == nullptr)
        return false;
    strPath = szBuf;
    return true;
}

bool separateString(const std::string& strSource, const char* pszSep, std::string& strHead,
                    std::string& strTail, bool bFromFront) {
    const size_t nSep = strlen(pszSep);
    const size_t p = bFromFront ? strSource.find(pszSep) : strSource.rfind(pszSep);
    if (p == std::string::npos) {
        strHead = strSource;
        strTail.clear();
        return false;
    }
    strHead = strSource.substr(0, p);
    strTail = strSource.substr(p + nSep);
    return true;
}

bool ifEndWith(const std::string& strText, const std::string& strSuffix) {
    if (strSuffix.size() > strText.size())
        return false;
    return strText.compare(strText.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

bool directoryExist(const char* pszPath) {
    DIR* pDir = ::opendir(pszPath);
    if (pDir == nullptr) {
        logX(2, "open dir %s failed, %s.", pszPath, strerror(errno));
        return false;
    }
    ::closedir(pDir);
    return true;
}

int createDirectory(const char* pszPath) {
    // The mode must be exactly 0777, so the daemon's umask is lifted for this one mkdir.
    const mode_t oldMask = ::umask(0);
    if (::mkdir(pszPath, 0777) != 0) {
        const int nErr = errno;
        logX(1, "create dir %s failed, %s.", pszPath, strerror(nErr));
        ::umask(oldMask);
        return -1;
    }
    ::umask(oldMask);
    return 0;
}

bool fileExist(const char* pszName) {
    if (::access(pszName, F_OK) < 0) {
        logX(1, "file %s not exist.", pszName);
        return false;
    }
    return true;
}

int getFileSize(const char* pszName) {
    struct stat st;
    if (::stat(pszName, &st) != 0)
        return -1;
    return static_cast<int>(st.st_size);
}

int getLogKeepDays(const std::string& strText) {
    // Only the low 32 bits count, so "-1" (a huge unsigned value) falls outside 1..30.
    const uint32_t nDays = static_cast<uint32_t>(strtoul(strText.c_str(), nullptr, 10));
    return (nDays >= 1 && nDays <= 30) ? static_cast<int>(nDays) : 7;
}
