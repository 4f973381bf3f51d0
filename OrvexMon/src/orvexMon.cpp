#include "orvexMon.h"

#include "orvexMonBuildPaths.h"
#include "orvexMonLog.h"
#include "orvexMonMsg.h"
#include "orvexMonTimerTask.h"

#include <ace/Date_Time.h>
#include <ace/Singleton.h>
#include <ace/Thread_Manager.h>
#include <ace/Thread_Mutex.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<int> CProcessMng::m_nProcessExit{0};
std::atomic<bool> CProcessMng::m_bUninstall{false};

namespace {

const char kUsage[] = "Usage: OrvexMon options parameters\n  -k|kill \n     Stop OrvexMon.";

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
    } else if (strcasecmp(pszArg, "-u") == 0 || strcasecmp(pszArg, "uninstall") == 0) {
        puts("uninstall Orvex!");
    } else {
        puts(kUsage);
    }
    return -1;
}

void CProcessMng::daemonInit() {
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
    if (signal(SIGINT, SIG_IGN) == SIG_ERR) {
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
    const int fd = ::open(kLockFile, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        perror("OrvexMon error");
        return -1;
    }
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (::fcntl(fd, F_SETLK, &lock) != 0) {
        puts("OrvexMon error : Process is running now, can not exist two instances!");
        logX(5, "procMng.lockProc: OrvexMon is running now.");
        return -1;  // the process ends right away and the descriptor with it
    }
    return 0;  // the descriptor stays open: the lock lasts as long as the daemon
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
        sleep(1);
        const ACE_Date_Time now;
        if (!isLogCleanDue(static_cast<int>(now.hour()), static_cast<int>(now.day()),
                           s_iLogCleanHour, nLastDay))
            continue;
        char szArg[32];
        snprintf(szArg, sizeof(szArg), "log_clean,%d", s_iLogKeepDays);
        startLogTask(szArg);
        nLastDay = static_cast<int>(now.day());
    }
}

void CProcessMng::quit() {
    ACE_Thread_Manager::instance()->wait();
}
