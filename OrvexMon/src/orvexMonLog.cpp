#include "orvexMonLog.h"

#include "orvexMonFd.h"

#include <ace/Guard_T.h>

#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <new>

// Set once by utl_CreateLog before any other thread exists; never freed.
static CLog* s_pLog = nullptr;

namespace {

// The broken-down local time of each second is worked out once per thread: every line of
// that second in that thread shares it.
struct LocalSecond {
    time_t nSecond = -1;
    struct tm tmLocal = {};
};
thread_local LocalSecond t_localSecond;

// The process id, read once and again in the child of a fork (getpid is a system call).
std::atomic<pid_t> s_nPid{0};
pthread_once_t s_pidOnce = PTHREAD_ONCE_INIT;

void forgetPid() {
    s_nPid.store(0, std::memory_order_relaxed);
}

void registerForgetPid() {
    pthread_atfork(nullptr, nullptr, forgetPid);
}

pid_t ownPid() {
    pid_t nPid = s_nPid.load(std::memory_order_relaxed);
    if (nPid == 0) {
        pthread_once(&s_pidOnce, registerForgetPid);
        nPid = getpid();
        s_nPid.store(nPid, std::memory_order_relaxed);
    }
    return nPid;
}

// The decimal digits of n, zero-padded to nWidth, at p; returns the end.
char* putDecimal(char* p, unsigned long n, int nWidth) {
    char szDigits[24];
    int nDigits = 0;
    do {
        szDigits[nDigits++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    for (int i = nDigits; i < nWidth; ++i)
        *p++ = '0';
    while (nDigits > 0)
        *p++ = szDigits[--nDigits];
    return p;
}

char* putSigned(char* p, long n) {
    if (n < 0) {
        *p++ = '-';
        return putDecimal(p, 0UL - static_cast<unsigned long>(n), 1);
    }
    return putDecimal(p, static_cast<unsigned long>(n), 1);
}

char* putHex(char* p, unsigned long n) {
    char szDigits[24];
    int nDigits = 0;
    do {
        szDigits[nDigits++] = "0123456789abcdef"[n & 0xF];
        n >>= 4;
    } while (n != 0);
    while (nDigits > 0)
        *p++ = szDigits[--nDigits];
    return p;
}

char* putText(char* p, const char* pszText, size_t nLen) {
    memcpy(p, pszText, nLen);
    return p + nLen;
}

// "%d-%02d-%02d %02d:%02d:%02d.%03d" + tag + " [%d,%lx] " at pszBuf (room for 128 bytes),
// without the printf machinery; returns the length.
size_t formatHeader(char* pszBuf, int nLevel, long nYear, long nMonth, long nDay, long nHour,
                    long nMinute, long nSecond, long nMillisecond) {
    static const char* const kTags[] = {" [FTL]", " [ERR]", " [WRN]", " [HNT]", " [DBG]", " [HDG]"};
    char* p = putSigned(pszBuf, nYear);
    const long fields[] = {nMonth, nDay, nHour, nMinute, nSecond};
    const char seps[] = {'-', '-', ' ', ':', ':'};
    for (int i = 0; i < 5; ++i) {
        *p++ = seps[i];
        p = fields[i] < 0 ? putSigned(p, fields[i])
                          : putDecimal(p, static_cast<unsigned long>(fields[i]), 2);
    }
    *p++ = '.';
    p = nMillisecond < 0 ? putSigned(p, nMillisecond)
                         : putDecimal(p, static_cast<unsigned long>(nMillisecond), 3);
    // Unsigned, so that negative levels are unknown too.
    p = putText(p, static_cast<unsigned>(nLevel) <= 5 ? kTags[nLevel] : " [UKN]", 6);
    p = putText(p, " [", 2);
    p = putSigned(p, static_cast<long>(ownPid()));
    *p++ = ',';
    // pthread_t is an integer on Linux and a pointer on macOS; the cast takes either.
    p = putHex(p, (unsigned long)pthread_self());
    p = putText(p, "] ", 2);
    *p = '\0';
    return static_cast<size_t>(p - pszBuf);
}

}  // namespace

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
    std::string strPath;
    appendLogFile(strPath, time.year(), time.month(), time.day());
    return strPath;
}

void CLog::appendLogFile(std::string& strPath, long nYear, long nMonth, long nDay) const {
    char szDate[64];
    char* p = szDate;
    p = nYear < 0 ? putSigned(p, nYear) : putDecimal(p, static_cast<unsigned long>(nYear), 4);
    p = nMonth < 0 ? putSigned(p, nMonth) : putDecimal(p, static_cast<unsigned long>(nMonth), 2);
    p = nDay < 0 ? putSigned(p, nDay) : putDecimal(p, static_cast<unsigned long>(nDay), 2);
    p = putText(p, ".log", 4);
    strPath.append(m_strLogDir).append(m_strModule).append(szDate, static_cast<size_t>(p - szDate));
}

int CLog::LogMsgPrint(int nLevel, const char* pszText) {
    return writeLine(nLevel, pszText, strlen(pszText));
}

// One clock reading stamps the line and picks its file, so a line stamped 23:59:59.999
// goes to that day's file even when it is written a moment later. The line leaves in a
// single append: header, text and line feed together, with no stdio buffer in between.
int CLog::writeLine(int nLevel, const char* pszText, size_t nText) {
    timeval now;
    ::gettimeofday(&now, nullptr);
    LocalSecond& local = t_localSecond;
    if (local.nSecond != now.tv_sec) {
        ::localtime_r(&now.tv_sec, &local.tmLocal);
        local.nSecond = now.tv_sec;
    }
    const struct tm& tmNow = local.tmLocal;
    char szHeader[128];
    const size_t nHeader =
        formatHeader(szHeader, nLevel, tmNow.tm_year + 1900L, tmNow.tm_mon + 1L, tmNow.tm_mday,
                     tmNow.tm_hour, tmNow.tm_min, tmNow.tm_sec, now.tv_usec / 1000);
    // Reused by each thread's lines: no allocation once it has grown to the path's length.
    thread_local std::string t_strPath;
    t_strPath.clear();
    appendLogFile(t_strPath, tmNow.tm_year + 1900L, tmNow.tm_mon + 1L, tmNow.tm_mday);

    char szNewline[] = "\n";
    iovec iov[3] = {{szHeader, nHeader}, {const_cast<char*>(pszText), nText}, {szNewline, 1}};
    ACE_Guard<ACE_Thread_Mutex> guard(m_mutex);
    const int fd = ::open(t_strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;  // the line is lost; there is nowhere else to report it
    // A short or failed write is not reported: the line is all the facility has to say.
    const ssize_t nWritten = ::writev(fd, iov, 3);
    (void)nWritten;
    ::close(fd);
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

    // Formatted once into the stack buffer; only a text too long for it is formatted
    // again, into the heap.
    char szBuf[2048];
    va_list args;
    va_start(args, pszFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    const int n = vsnprintf(szBuf, sizeof(szBuf), pszFormat, argsCopy);
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
    if (static_cast<size_t>(n) >= sizeof(szBuf)) {
        std::unique_ptr<char[]> pBuf(new (std::nothrow) char[n + 1]);
        if (pBuf) {
            vsnprintf(pBuf.get(), n + 1, pszFormat, args);
            pBuf[n] = '\0';
            pLog->writeLine(nLevel, pBuf.get(), static_cast<size_t>(n));
        }
        va_end(args);
        return;
    }
    va_end(args);
    pLog->writeLine(nLevel, szBuf, static_cast<size_t>(n));
}

void setLogHeader(char* pszBuf, int nLevel, const ACE_Date_Time& time) {
    formatHeader(pszBuf, nLevel, time.year(), time.month(), time.day(), time.hour(), time.minute(),
                 time.second(), time.microsec() / 1000);
}
