#include "orvexMon.h"

#include "orvexMonBuildPaths.h"
#include "orvexMonFd.h"
#include "orvexMonLog.h"
#include "orvexMonMsg.h"
#include "orvexMonProcTable.h"
#include "orvexMonTimerTask.h"

#include <ace/Date_Time.h>
#include <ace/Singleton.h>
#include <ace/Thread_Manager.h>
#include <ace/Thread_Mutex.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<int> CProcessMng::m_nProcessExit{0};
std::atomic<bool> CProcessMng::m_bUninstall{false};

namespace {

const char kUsage[] = "Usage: OrvexMon options parameters\n  -k|kill \n     Stop OrvexMon.";

// The handler only stores: the main loop sees the flag within its second and stops in order.
static_assert(std::atomic<int>::is_always_lock_free, "the SIGTERM handler stores m_nProcessExit");
volatile sig_atomic_t s_nStopSignal = 0;

extern "C" void onStopSignal(int nSignal) {
    s_nStopSignal = nSignal;
    CProcessMng::m_nProcessExit.store(1);
}

// ---- The single-instance lock ----

// Opens the lock file, never through a symbolic link; with bFresh, removes whatever has
// the name first and makes a new file. Reports a failure, naming the file.
int openLockFile(bool bFresh) {
    int nFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (bFresh) {
        ::unlink(kLockFile);
        nFlags |= O_EXCL;
    }
    const int fd = ::open(kLockFile, nFlags, 0600);
    if (fd < 0) {
        const int nErr = errno;
        fprintf(stderr, "OrvexMon error: %s: %s\n", kLockFile, strerror(nErr));
        logX(1, "procMng.lockProc: Fail to open lock file %s: %s", kLockFile, strerror(nErr));
    }
    return fd;
}

// Our own regular file under one name, which nobody else can open.
bool isPrivateLockFile(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
           st.st_nlink == 1 && (st.st_mode & 077) == 0;
}

// Does a process of ours hold a lock on fd? One we cannot see (outside our pid namespace)
// counts as ours.
bool heldByUs(int fd) {
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &lock) != 0)
        return true;
    return lock.l_type != F_UNLCK && (lock.l_pid <= 0 || procRunsAsUs(lock.l_pid));
}

int refuseSecondInstance() {
    puts("OrvexMon error : Process is running now, can not exist two instances!");
    logX(2, "procMng.lockProc: OrvexMon is running now.");
    return -1;
}

}  // namespace

void createModeLog(const std::string& strHome, const char* pszModule) {
    // A fresh install has no log directory, and the log facility never creates one.
    if (!strHome.empty())
        ::mkdir((strHome + "/log").c_str(), 0755);
    utl_CreateLog(strHome + "/log/", 4, pszModule);
}

int CProcessMng::parseCmdLine(int argc, char** argv) {
    if (argc < 2)
        return 0;
    if (argc >= 4) {
        puts(kUsage);
        return -1;
    }
    createModeLog(getHomePath(), "OrvexMonCmd");
    const char* pszArg = argv[1];
    if (strcasecmp(pszArg, "-k") == 0 || strcasecmp(pszArg, "kill") == 0) {
        // The daemon takes a stop only from a socket of root.
        if (geteuid() != 0) {
            puts("OrvexMon error: Only root can stop OrvexMon.");
            return -1;
        }
        const int nPort = ACE_Singleton<CConfigT, ACE_Thread_Mutex>::instance()->m_nCommandPort;
        if (CMsgProcess::echo(nPort) != 0)
            puts("OrvexMon error: Process is not running now!");
        else
            CMsgProcess::kill(nPort);
    } else if (strcasecmp(pszArg, "status") == 0) {
        // 0 running, 3 not, as the service managers' status commands report it.
        exit(printStatus(ACE_Singleton<CConfigT, ACE_Thread_Mutex>::instance()->m_nCommandPort));
    } else if (strcasecmp(pszArg, "-u") == 0 || strcasecmp(pszArg, "uninstall") == 0) {
        puts("uninstall Orvex!");
    } else {
        puts(kUsage);
    }
    return -1;
}

void CProcessMng::daemonInit() {
    // A launcher may have closed a standard descriptor; the lock file must not land there,
    // where releaseTerminal would close it.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0)
            ::open("/dev/null", O_RDWR);  // the lowest free descriptor: fd
    }
    // _exit, not exit: the parents must not run ACE's or stdio's exit work a second time.
    fflush(nullptr);
    if (fork() != 0)
        _exit(0);
    setsid();
    signal(SIGHUP, SIG_IGN);
    if (fork() != 0)
        _exit(0);
    umask(022);
}

int CProcessMng::init() {
    struct sigaction stop;
    memset(&stop, 0, sizeof(stop));
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    stop.sa_flags = SA_RESTART;  // sleep and select return all the same
    if (signal(SIGINT, SIG_IGN) == SIG_ERR || sigaction(SIGTERM, &stop, nullptr) != 0) {
        puts("OrvexMon error : Fail to install signal handler!");
        return -1;
    }
    const std::string strHome = getHomePath();
    if (strHome.empty()) {
        puts("Cannot get program path, quit now.");
        return -1;
    }
    createModeLog(strHome, "OrvexMon");
    return 0;
}

int CProcessMng::lockProcess() {
    CUniqueFd fd(openLockFile(false));
    if (fd.get() < 0)
        return -1;
    // A file someone else made, or one others could open (older versions made it 0644),
    // may carry their lock and keep us from ever starting: a fresh one takes its place,
    // unless a process of ours holds it. Only our own file is ever emptied.
    if (!isPrivateLockFile(fd.get())) {
        if (heldByUs(fd.get()))
            return refuseSecondInstance();
        fd.reset(openLockFile(true));
        if (fd.get() < 0)
            return -1;
    }
    if (::ftruncate(fd.get(), 0) != 0)
        logX(2, "procMng.lockProc: Fail to empty lock file %s: %s", kLockFile, strerror(errno));
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), F_SETLK, &lock) != 0)
        return refuseSecondInstance();
    fd.release();  // stays open: the lock lasts as long as the daemon
    return 0;
}

void CProcessMng::releaseTerminal() {
    fflush(nullptr);
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        logX(1, "procMng.releaseTerminal: Fail to open /dev/null: %s", strerror(errno));
        return;
    }
    // dup2 leaves close-on-exec off, so services get these three; daemonInit made sure
    // that fd is not one of them.
    for (int nStd = STDIN_FILENO; nStd <= STDERR_FILENO; ++nStd)
        ::dup2(fd, nStd);
    ::close(fd);
}

bool isLogCleanDue(int nHour, int nDay, int nCleanHour, int nLastDay) {
    return nHour == nCleanHour && nDay != nLastDay;
}

void CProcessMng::startTimerTask() {
    const ACE_Time_Value interval(5, 0);
    CTimerTask timer(interval, CProcessMng::checkProcess, nullptr);
    logX(2, "[dbg-in-wrn] start check...cleanHour=%d, keepDays=%d", s_iLogCleanHour, s_iLogKeepDays);
    int nLastDay = 0;
    while (m_nProcessExit == 0) {
        sleep(1);  // a SIGTERM cuts it short
        if (m_nProcessExit != 0)
            break;
        const ACE_Date_Time now;
        if (!isLogCleanDue(static_cast<int>(now.hour()), static_cast<int>(now.day()),
                           s_iLogCleanHour, nLastDay))
            continue;
        char szArg[32];
        snprintf(szArg, sizeof(szArg), "log_clean,%d", s_iLogKeepDays);
        startLogTask(szArg);
        nLastDay = static_cast<int>(now.day());
    }
    if (s_nStopSignal != 0)
        logX(2, "[dbg-in-wrn] OrvexMon stops on signal %d.", static_cast<int>(s_nStopSignal));
}

void CProcessMng::quit() {
    ACE_Thread_Manager::instance()->wait();
}
