// The supervisor core: process-wide flags and lifecycle of the daemon
// (CProcessMng), its configuration (CConfigT), and the path and file utilities
// every mode uses. The home path is the working directory at start.
#ifndef ORVEXMON_H
#define ORVEXMON_H

#include <atomic>
#include <string>

// ---- Process-wide state and lifecycle ----

class CProcessMng {
public:
    /// 0 = run, 1 = stop; written only by the command server, polled by the main loop.
    static std::atomic<int> m_nProcessExit;
    static std::atomic<bool> m_bUninstall;  ///< Set by an uninstall command; read by nothing.
};

// ---- Configuration ----

/// Daily log clean hour (0..23) and days of logs kept (1..30); set by CConfigT.
extern int s_iLogCleanHour;
extern int s_iLogKeepDays;

// Configuration of one process, read once from the system file (INSTALL_DIR) and
// INSTALL_DIR/conf/Orvex.conf. Reach it through
// ACE_Singleton<CConfigT, ACE_Thread_Mutex>::instance(); build it before any
// thread starts. Members never change after construction but m_strUninstallProtect
// (written by the watchdog thread only).
class CConfigT {
public:
    /// Reads the build's system file. Ends the process with status 1 without INSTALL_DIR.
    CConfigT();
    /// Same, from another system file.
    explicit CConfigT(const char* pszSystemFile);

    int m_nCommandPort;
    std::string m_strInstallDir;
    std::string m_strAccessBrokerPath;
    std::string m_strAssetWardenPath;
    std::string m_strOrvexAuxPath;
    std::string m_strSelfGuardKoPath;
    std::string m_strUninstallProtect;
    std::string m_strInstallLogDir;
    std::string m_strLeakSentryPath;
    int m_nDaemonLogLevel;
    std::string m_strClientFilesDir;
};

// ---- Paths and files ----

/// The working directory at the first successful call, cached; "" when unreadable.
std::string getHomePath();
bool getProgramPath(std::string& strPath);  ///< The working directory; false when unreadable.
/// Splits at the first (bFromFront) or last pszSep; false, head = all, tail = "" without one.
bool separateString(const std::string& strSource, const char* pszSep, std::string& strHead,
                    std::string& strTail, bool bFromFront);
bool ifEndWith(const std::string& strText, const std::string& strSuffix);
bool directoryExist(const char* pszPath);  ///< Listable directory; logs when not.
int createDirectory(const char* pszPath);  ///< mkdir with mode 0777 whatever the umask; 0 / -1.
bool fileExist(const char* pszName);
int getFileSize(const char* pszName);  ///< Bytes, -1 when it cannot be examined.
int getLogKeepDays(const std::string& strText);  ///< 1 to 30; 7 for anything else.

#endif
