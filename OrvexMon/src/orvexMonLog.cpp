#include "orvexMonLog.h"

#include "orvexMonFd.h"

#include <ace/Guard_T.h>

#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>

// Set once by utl_CreateLog before any other thread exists; never freed.
static CLog* s_pLog = nullptr;

CLog::CLog(const std::string& strLogDir, int nLevel, const std::string& strModule)
    : m_strLogDir(strLogDir), m_strModule(strModule), m_nLogLevel(nLevel) {
    if (m_strLogDir.empty() || m_strLogDir.back() != '/')
        m_strLogDir += Slash_String;
}

int CLog::SetLogLevel(int nLevel) {
    if (nLevel >= 0 && nLevel <= 5)
        m_nLogLevel = nLevel;
    return 0;
}

std::string CLog::GetNewLogFile(const ACE_Date_Time& time) const {
    char szDate[32];
    snprintf(szDate, sizeof(szDate), "%04d%02d%02d.log", static_cast<int>(time.year()),
             static_cast<int>(time.month()), static_cast<int>(time.day()));
    return m_strLogDir + m_strModule + szDate;
}

int CLog::LogMsgPrint(int nLevel, const char* pszText) {
    const ACE_Date_Time now;  // one reading: the line's stamp also picks its file
    char szHeader[512];
    setLogHeader(szHeader, nLevel, now);
    const std::string strPath = GetNewLogFile(now);

    ACE_Guard<ACE_Thread_Mutex> guard(m_mutex);
    FILE* pFile = OpenFileByAppend(strPath);
    if (pFile == nullptr)
        return -1;  // the line is lost; there is nowhere else to report it
    WriteFile(pFile, szHeader);
    WriteFile(pFile, pszText);
    WriteFile(pFile, "\n");
    fflush(pFile);
    CloseFile(pFile);
    return 0;
}

FILE* CLog::OpenFileByAppend(const std::string& strPath) {
    return openStream(strPath.c_str(), O_RDWR | O_APPEND | O_CREAT, "a+");
}

int CLog::CloseFile(FILE* pFile) {
    return pFile == nullptr ? 0 : fclose(pFile);
}

int CLog::WriteFile(FILE* pFile, const char* pszText) {
    return fputs(pszText, pFile);
}

bool utl_CreateLog(const std::string& strLogDir, int nLevel, const std::string& strModule) {
    if (s_pLog == nullptr)
        s_pLog = new CLog(strLogDir, nLevel, strModule);
    return true;
}

void utl_SetLogLevel(int nLevel) {
    if (s_pLog != nullptr)
        s_pLog->SetLogLevel(nLevel);
}

int utl_GetLogLevel() {
    return s_pLog == nullptr ? 3 : s_pLog->GetLogLevel();
}

void logX(int nLevel, const char* pszFormat, ...) {
    CLog* pLog = s_pLog;
    if (pLog == nullptr || pLog->GetLogLevel() < nLevel)
        return;

    va_list args;
    va_start(args, pszFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    const int n = vsnprintf(nullptr, 0, pszFormat, argsCopy);
    va_end(argsCopy);

    if (n < 0) {
        // The arguments cannot be formatted; the format text still tells where the
        // line came from, which a cut-off first character would not.
        va_end(args);
        const std::string strLine = std::string("[unformattable] ") + pszFormat;
        pLog->LogMsgPrint(nLevel, strLine.c_str());
        return;
    }
    if (n == 0) {
        va_end(args);
        return;
    }
    if (n >= 2047) {
        std::unique_ptr<char[]> pBuf(new (std::nothrow) char[n + 1]);
        if (pBuf) {
            vsnprintf(pBuf.get(), n + 1, pszFormat, args);
            pBuf[n] = '\0';
            pLog->LogMsgPrint(nLevel, pBuf.get());
        }
        va_end(args);
        return;
    }
    char szBuf[2048];
    vsnprintf(szBuf, sizeof(szBuf), pszFormat, args);
    va_end(args);
    szBuf[n] = '\0';
    pLog->LogMsgPrint(nLevel, szBuf);
}

void setLogHeader(char* pszBuf, int nLevel, const ACE_Date_Time& time) {
    static const char* const kTags[] = {" [FTL]", " [ERR]", " [WRN]", " [HNT]", " [DBG]", " [HDG]"};
    int n = snprintf(pszBuf, 512, "%d-%02d-%02d %02d:%02d:%02d.%03d", static_cast<int>(time.year()),
                     static_cast<int>(time.month()), static_cast<int>(time.day()),
                     static_cast<int>(time.hour()), static_cast<int>(time.minute()),
                     static_cast<int>(time.second()), static_cast<int>(time.microsec() / 1000));
    // Unsigned, so that negative levels are unknown too.
    const char* pszTag = static_cast<unsigned>(nLevel) <= 5 ? kTags[nLevel] : " [UKN]";
    // pthread_t is an integer on Linux and a pointer on macOS; the cast takes either.
    snprintf(pszBuf + n, 512 - n, "%s [%d,%lx] ", pszTag, static_cast<int>(getpid()),
             (unsigned long)pthread_self());
}
