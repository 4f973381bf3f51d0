#include "orvexMonConfig.h"

#include "orvexMonFd.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One line without its line end (a line feed, or a carriage return and a line feed) into
// szLine. False at end of file, and for a line of more than 1023 characters, which ends
// the reading.
bool readLine(FILE* pFile, char (&szLine)[1024]) {
    size_t n = 0;
    bool bAny = false;
    int c;
    while ((c = getc_unlocked(pFile)) != EOF) {
        bAny = true;
        if (c == '\n')
            break;
        if (c == '\r') {
            const int cNext = getc_unlocked(pFile);
            if (cNext == '\n')
                break;
            if (cNext != EOF)
                ungetc(cNext, pFile);
        }
        if (n == sizeof(szLine) - 1)
            return false;
        szLine[n++] = static_cast<char>(c);
    }
    szLine[n] = '\0';
    return bAny;
}

// Only a regular file is read. The open does not wait: a FIFO without a writer would
// otherwise hold whoever reads the configuration, and a device is no configuration.
FILE* openRegularForReading(const char* pszPath) {
    CUniqueFd fd(::open(pszPath, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    FILE* pFile = ::fdopen(fd.get(), "r");
    if (pFile != nullptr)
        fd.release();
    return pFile;
}

}  // namespace

int CCfgFileMgr::loadFromFile(const char* pszPath, char cSeparator) {
    FILE* pFile = openRegularForReading(pszPath);
    if (pFile == nullptr) {
        printf("cfgFile.loadFile: Fail to open config file %s.\n", pszPath);
        return -1;
    }
    char szLine[1024];
    for (int nLine = 1; readLine(pFile, szLine); ++nLine) {
        const std::string strLine(szLine);  // up to the first NUL byte
        std::string strTrimmed = strLine;
        trimStr(strTrimmed);
        if (strTrimmed.empty() || strTrimmed[0] == '#')
            continue;
        if (strLine.find(cSeparator) == std::string::npos) {
            printf("cfgFile.loadFile: [%d] Invalid data [%s] - no separator.\n", nLine,
                   strLine.c_str());
            continue;
        }
        std::string strKey, strValue;
        divideStringByOneSep(strLine, strKey, strValue, cSeparator, true);
        trimStr(strKey);
        trimStr(strValue);
        m_mapKey2Value[upper4Std(strKey)] = strValue;
    }
    fclose(pFile);
    return 0;
}

int CCfgFileMgr::write2File(const char* pszPath) const {
    FILE* pFile = openStream(pszPath, O_WRONLY | O_CREAT | O_TRUNC, "w");
    if (pFile == nullptr) {
        printf("cfgFile.wriFile: Fail to open config file %s.\n", pszPath);
        return -1;
    }
    std::string strLine;
    for (const auto& entry : m_mapKey2Value) {
        joint2String(entry.first, entry.second, "=", strLine, true);
        strLine += '\n';
        fputs(strLine.c_str(), pFile);
        fflush(pFile);
    }
    fclose(pFile);
    return 0;
}

int CCfgFileMgr::getValue(const char* pszKey, std::string& strValue) const {
    const auto it = m_mapKey2Value.find(upper4Std(pszKey));
    if (it == m_mapKey2Value.end())
        return -1;
    strValue = it->second;
    return 0;
}

int CCfgFileMgr::getValue(const char* pszKey, int& nValue) const {
    std::string strValue;
    if (getValue(pszKey, strValue) != 0)
        return -1;
    nValue = atoi(strValue.c_str());
    return 0;
}

int CCfgFileMgr::getValue(const char* pszKey, unsigned char& cValue) const {
    std::string strValue;
    if (getValue(pszKey, strValue) != 0)
        return -1;
    cValue = static_cast<unsigned char>(atoi(strValue.c_str()));
    return 0;
}

void CCfgFileMgr::setValue(const char* pszKey, const std::string& strValue) {
    m_mapKey2Value[upper4Std(pszKey)] = strValue;
}

int CCfgFileMgr::isDigit(const char* pszText) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pszText); *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
    }
    return 1;
}

void joint2String(const std::string& strFirst, const std::string& strSecond,
                  const std::string& strSep, std::string& strOut, bool bKeepSepWhenEmpty) {
    if (!strSecond.empty())
        strOut = strFirst + strSep + strSecond;
    else
        strOut = bKeepSepWhenEmpty ? strFirst + strSep : strFirst;
}

void trimStr(std::string& strText) {
    const size_t nFirst = strText.find_first_not_of(" \t");
    if (nFirst == std::string::npos) {
        strText.clear();
        return;
    }
    strText.erase(strText.find_last_not_of(" \t") + 1);
    strText.erase(0, nFirst);
}

std::string upper4Std(const std::string& strText) {
    std::string strOut;
    strOut.reserve(strText.size());
    for (size_t i = 0; i < strText.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(strText[i]);
        if (c < 0x80) {
            strOut += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : strText[i];
            continue;
        }
        // First byte of a double-byte character: the pair is copied as it is. A lead byte
        // at the very end has no partner and is kept alone, the same way at load and lookup.
        strOut += strText[i];
        if (i + 1 < strText.size())
            strOut += strText[++i];
    }
    return strOut;
}

void divideStringByOneSep(const std::string& strText, std::string& strLeft, std::string& strRight,
                          char cSep, bool bFirst) {
    const size_t p = bFirst ? strText.find(cSep) : strText.rfind(cSep);
    if (p == std::string::npos) {
        strLeft = strText;
        strRight.clear();
        return;
    }
    strLeft = strText.substr(0, p);
    strRight = strText.substr(p + 1);
}
