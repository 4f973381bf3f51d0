// The supervisor core: process-wide flags and lifecycle of the daemon
// (CProcessMng), its configuration (CConfigT), and the path and file utilities
// every mode uses. The home path is the working directory at start.
#ifndef ORVEXMON_H
#define ORVEXMON_H

#include <stdint.h>

#include <atomic>
#include <map>
#include <string>

// ---- Process-wide state, lifecycle and watchdog ----

// Static members only. The lifecycle runs in the main thread; checkProcess and the
// lookups it makes run in the timer thread, one pass at a time.
class CProcessMng {
public:
    /// 0 = run, 1 = stop; set by the command server and on SIGTERM, polled by the main loop.
    static std::atomic<int> m_nProcessExit;
    static std::atomic<bool> m_bUninstall;  ///< Set by an uninstall command; read by nothing.

    /// Command-line mode. 0: no arguments, go on as a daemon; -1: handled, end the process.
    static int parseCmdLine(int argc, char** argv);
    static void daemonInit();  ///< Double fork; only the detached grandchild returns.
    /// Ignores SIGINT, makes SIGTERM a stop request, creates the daemon's log; 0 / -1.
    static int init();
    /// Takes the single-instance lock for the life of the process; 0 / -1.
    static int lockProcess();
    /// Points standard input, output and error at /dev/null, once start-up has printed
    /// what it had to say, so that the launcher's terminal or pipe is let go.
    static void releaseTerminal();
    /// Runs the watchdog timer and the one-second loop with its daily log task trigger;
    /// returns once m_nProcessExit is set.
    static void startTimerTask();
    /// Waits for every thread of ACE's thread manager. Kept for the client's interface;
    /// main waits itself.
    static void quit();

    /// One regular watchdog pass; the timer's callback. Always null. A service that ends
    /// is also restarted at once, between these passes: the exit watch
    /// (orvexMonExitWatch.h beside the sources) runs extra passes, and the rules of what a
    /// pass starts are in orvexMonRestartPolicy.h there.
    static void* checkProcess(void* pArg);
    /// Pid of a process with exactly this command name; -1 when none, for a null name, or
    /// when the process table cannot be read.
    static int findProcess(const char* pszName);
    /// Runs "pszCommand &" through the shell; 0 when the shell ran, -1 otherwise.
    static int startProcess(const char* pszCommand);

    // Kept for the client's interface; the daemon itself calls none of these.

    /// fork + execvp, not waited for: the child's pid, or -1 when fork fails.
    static int startPorcess(const char* pszFile, char* const argv[]);
    /// First line of the command's output, at most 31 characters; "" on failure.
    static std::string getResFromLinuxCMD(const std::string& strCommand);
    static int createUninstallFile();                    ///< Nothing to do here; 0.
    static int findKernelModule(const char* pszName);    ///< Nothing to do here; 0.
    static int insmodKernelModule(const char* pszName);  ///< Nothing to do here; 0.
    static int rmmodKernelModule(const char* pszName);   ///< Nothing to do here; 0.
};

/// Creates strHome + "/log" (mode 0755) when missing, then the process log there at level 4.
void createModeLog(const std::string& strHome, const char* pszModule);

/// True when the supervision loop should start the daily log task: the hour is the clean
/// hour and the day of the month is not the one of the last run (0 = none yet).
bool isLogCleanDue(int nHour, int nDay, int nCleanHour, int nLastDay);
void setCoreLimit();  ///< Lifts the core-file size limit; logs when it cannot.
/// Gives mode 0777 to the regular "*.core" files of the home path that lack it; a link, or a
/// file with a second name, is left alone.
void doCoreTask();

// ---- Log task ----

// Daemon side: startLogTask in the main thread. Everything else runs in the single
// thread of the log task process ("./OrvexMon log_...") in the home path.
// A date value spells year, month and day in decimal (20240307); 0 = no date.

/// Runs "cd <home>;./OrvexMon <pszArg>" and waits for it; nothing for a null or empty arg.
void startLogTask(const char* pszArg);
void startLogCleanTask();  ///< startLogTask("log_clean,<s_iLogKeepDays>").
/// The log task mode's work for one argument; first makes <home>/CollectInfo (mode 01777).
void doLogTask(const std::string& strArg);
/// Retention of both directories with the cutoff nDays back, then the day's archiving; one
/// run at a time (a lock in pszLogDir), a second one waits.
void dealLogCleanTask(int nDays, const char* pszLogDir, const char* pszCollectDir);
void dealLogZipTask(const char* pszDir);  ///< Only computes today's date value.
/// strText as one shell word: unchanged when every character is literal to sh, otherwise
/// in single quotes with each ' as '\''.
std::string shellQuote(const std::string& strText);

/// Copies the last eight digits of the trailing run of digits and "-" of strText,
/// right-aligned, into szBuf (9 bytes, zeroed by the caller).
void fillDateBufBackwards(const std::string& strText, char* szBuf);
/// Date value of a file name (no directory); bIsPart = its last "_" field is three digits.
uint32_t getDateValFromFileName(const std::string& strName, bool& bIsPart);
/// Deletes the regular "*.log" and "*.tar.gz" files of pszDir dated before nCutoff.
void doUniLogClean(const char* pszDir, uint32_t nCutoff);
/// Deletes the regular "*.tar.gz" files of pszDir dated before nCutoff.
void doUniLogZipClean(const char* pszDir, uint32_t nCutoff);

/// Moves logs dated before nToday (and numbered parts) and the home path's core files into
/// pszCollectDir (a taken name is never replaced: the newcomer gets a name of its own) and
/// packs it into "log_<nToday>[_N].tar.gz" there. Exactly the logs and core files tar was
/// given are removed, once that archive is complete on disk; otherwise they wait.
void doUniLogZip(const char* pszLogDir, const char* pszCollectDir, uint32_t nToday);
/// Packs pszDir/strFileName (pszDir must be <home>/log) into <base>.tar.gz beside it through
/// a script; true, and the log removed, when the script reported success within ~90 s.
bool doSingleZip(const char* pszDir, const std::string& strFileName);
/// Writes <home>/<strBase>.sh; false when it cannot be opened.
bool makeZipScript(const char* pszDir, const std::string& strBase);
void execZipScript(const char* pszDir, const std::string& strBase);  ///< Runs it and waits.
bool ifZipDone(const std::string& strMarkerPath);  ///< The marker's first line begins "done".
/// Polls pszDir/<strBase>.don once a second, 90 times at most; true when it was seen.
bool waitZipDone(const char* pszDir, const std::string& strBase);
/// Removes the script and the marker, and pszDir/<strBase>.log when bRemoveLog.
void cleanUp(const char* pszDir, const std::string& strBase, bool bRemoveLog);

// ---- Run directory: pid file, service start counts, "OrvexMon status" ----

// The daemon keeps its pid file and a state file (the starts of each service since it
// began) in the run directory, rewritten whole when they change; its main and timer
// threads call in. "OrvexMon status" reads them back.

struct RunState {
    int nDaemonPid = -1;
    std::map<std::string, unsigned> mapStarts;  ///< service name -> starts by this daemon
};

/// After the lock is taken: makes the run directory when missing and writes both files;
/// logs and goes on without them when the directory is not ours alone.
void runStateBegin();
void runStateCountStart(const char* pszName);  ///< One more start of a service; rewrites.
void runStateEnd();                            ///< Orderly end: removes both files.
/// The state file's text; false for anything but "pid=N" and "<service>=N" lines.
bool parseRunState(const std::string& strText, RunState& state);
/// A regular file, not a link, writable by its owner only (root or us), of at most 4 KiB.
bool readRunState(const std::string& strPath, RunState& state);
/// Prints whether a daemon answers on nPort and each service's pid and starts; 0 or 3.
int printStatus(int nPort);

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
// Kept for the client's interface; the daemon itself calls neither.
bool fileExist(const char* pszName);
int getFileSize(const char* pszName);            ///< Bytes, -1 when it cannot be examined.
int getLogKeepDays(const std::string& strText);  ///< 1 to 30; 7 for anything else.

#endif
