// Log facility: one leveled log per process, appended line by line to
// <dir><module>YYYYMMDD.log. Every thread logs through logX; only the
// open-append-close of a line is serialised.
#ifndef ORVEXMON_LOG_H
#define ORVEXMON_LOG_H

#include <ace/Date_Time.h>
#include <ace/Thread_Mutex.h>

#include <stdio.h>

#include <atomic>
#include <string>

#define Slash_String "/"
#define Slash_BackString "\\"

// Levels: 0 FTL, 1 ERR, 2 WRN, 3 HNT, 4 DBG, 5 HDG; a line is written when its
// level is at most the current level.
class CLog {
public:
    /// Appends "/" to strLogDir when it lacks one; nLevel is taken unchecked.
    CLog(const std::string& strLogDir, int nLevel, const std::string& strModule);
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    int SetLogLevel(int nLevel);  ///< Takes 0 to 5 only; always 0.
    int GetLogLevel() const { return m_nLogLevel; }
    std::string GetNewLogFile(const ACE_Date_Time& time) const;
    /// Appends header, text and "\n" to the file of the current date; -1 when it won't open.
    int LogMsgPrint(int nLevel, const char* pszText);

    FILE* OpenFileByAppend(const std::string& strPath);  ///< Close-on-exec; null on failure.
    int CloseFile(FILE* pFile);
    int WriteFile(FILE* pFile, const char* pszText);  ///< No newline added.

private:
    friend void logX(int nLevel, const char* pszFormat, ...);
    /// LogMsgPrint of a text whose length is known.
    int writeLine(int nLevel, const char* pszText, size_t nText);
    /// Appends the file path of that local date to strPath.
    void appendLogFile(std::string& strPath, long nYear, long nMonth, long nDay) const;

    ACE_Thread_Mutex m_mutex;  // held only around one line's open-append-close
    std::string m_strLogDir;   // always ends with "/"
    std::string m_strModule;
    std::atomic<int> m_nLogLevel;  // read by every thread without a lock
};

/// Creates the process log once; later calls change nothing. Always true.
bool utl_CreateLog(const std::string& strLogDir, int nLevel, const std::string& strModule);
void utl_SetLogLevel(int nLevel);  ///< 0 to 5 only; no effect before utl_CreateLog.
int utl_GetLogLevel();             ///< 3 while no log exists.
void logX(int nLevel, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
/// Writes "date time.ms [TAG] [pid,thread] " into pszBuf (at least 512 bytes).
void setLogHeader(char* pszBuf, int nLevel, const ACE_Date_Time& time);

#endif
