#include "orvexMon.h"
#include "orvexMonLog.h"
#include "orvexMonMsg.h"

#include <ace/Singleton.h>
#include <ace/Thread_Manager.h>
#include <ace/Thread_Mutex.h>

#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
    if (argc == 2 && strncmp(argv[1], "log_", 4) == 0) {
        const std::string strHome = getHomePath();
        if (strHome.empty()) {
            puts("Cannot get program path, quit now.");
            return 0;
        }
        createModeLog(strHome, "OrvexMon");
        doLogTask(argv[1]);
        return 0;
    }

    CProcessMng::m_nProcessExit = 0;
    if (CProcessMng::parseCmdLine(argc, argv) != 0)
        return -1;
    CProcessMng::daemonInit();
    if (CProcessMng::init() != 0)
        return -1;
    if (CProcessMng::lockProcess() != 0)
        return -1;
    runStateBegin();
    setCoreLimit();

    // Built before any thread exists, so that a missing INSTALL_DIR ends the process
    // before there is anything to race with.
    const CConfigT* pConfig = ACE_Singleton<CConfigT, ACE_Thread_Mutex>::instance();
    // Start-up has said all it prints; from here on only the log speaks. A launcher that
    // reads our output ($(...), a pipe, ssh) then returns, and services get no terminal.
    CProcessMng::releaseTerminal();
    CCommandTask commandTask;
    commandTask.open(nullptr);
    utl_SetLogLevel(pConfig->m_nDaemonLogLevel);

    CProcessMng::startTimerTask();
    ACE_Thread_Manager::instance()->wait();
    runStateEnd();
    logX(2, "[dbg-in-wrn] OrvexMon quit successful.");
    return 0;
}
