#include "orvexMon.h"
#include "orvexMonBuildPaths.h"
#include "orvexMonConfig.h"
#include "orvexMonLog.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int s_iLogCleanHour = 10;
int s_iLogKeepDays = 7;

CConfigT::CConfigT() : CConfigT(kSystemConfFile) {}

CConfigT::CConfigT(const char* pszSystemFile) : m_nCommandPort(50002), m_nDaemonLogLevel(2) {
    CCfgFileMgr sysFile;
    sysFile.loadFromFile(pszSystemFile, '=');  // a missing file shows as a missing key
    if (sysFile.getValue("INSTALL_DIR", m_strInstallDir) != 0) {
        printf("[OrvexMon] Can't found INSTALL_DIR from %s \n", pszSystemFile);
        // We run under ACE's singleton lock, possibly in a thread the thread manager
        // owns: exit() would run ACE's teardown, which waits for that very thread and
        // for threads blocked on the lock. Nothing is worth saving at this point.
        fflush(stdout);
        _exit(1);
    }
    m_strInstallLogDir = m_strInstallDir + "/log/";

    CCfgFileMgr clientFile;
    clientFile.loadFromFile((m_strInstallDir + "/conf/Orvex.conf").c_str(), '=');

    m_strAccessBrokerPath = m_strInstallDir + "/" + "AccessBroker";
    m_strAssetWardenPath = m_strInstallDir + "/" + "AssetWarden";
    m_strOrvexAuxPath = m_strInstallDir + "/" + "OrvexAux";
    m_strSelfGuardKoPath = m_strInstallDir + "/libs/" + "self_guard" + ".ko";
    m_strClientFilesDir = m_strInstallDir + "/clientfiles/";
    m_strLeakSentryPath = m_strInstallDir + "/" + "LeakSentry";

    std::string strValue;
    if (clientFile.getValue("COMMAND_PORT", strValue) == 0) {
        m_nCommandPort = atoi(strValue.c_str());
        // Port 0 would bind a port the system picks, where no client looks. Both sides
        // use the low 16 bits, so 65536 is port 0 as well.
        if ((m_nCommandPort & 0xFFFF) == 0) {
            logX(1, "[CConfigT] COMMAND_PORT \"%s\" gives no port; using the default 50002.",
                 strValue.c_str());
            m_nCommandPort = 50002;
        }
    }
    if (clientFile.getValue("LOG_CLEAN_HOUR", strValue) == 0) {
        const int nHour = atoi(strValue.c_str());
        if (nHour >= 0 && nHour <= 23)
            s_iLogCleanHour = nHour;
    }
    if (clientFile.getValue("LOG_KEEP_DAYS", strValue) == 0) {
        const int nDays = atoi(strValue.c_str());
        if (nDays >= 1 && nDays <= 30)
            s_iLogKeepDays = nDays;
    }
}
