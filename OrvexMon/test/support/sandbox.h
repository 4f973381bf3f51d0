// End-to-end sandbox: an install tree (home path) in a temporary directory with the
// configuration files, the customization, stand-in services and a link to the real
// OrvexMon; the build's system file points INSTALL_DIR at it. Runs OrvexMon there and
// cleans up every process it knows of, by pid. Sanitizer reports of what it runs go to
// files of their own, since the daemon lets go of its output.
#ifndef ORVEXMON_SANDBOX_H
#define ORVEXMON_SANDBOX_H

#include "testSupport.h"

#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct RunResult {
    int nStatus = -1;           ///< Exit status; -1 when killed or timed out.
    std::string strOutput;      ///< Standard output and error together, as the launcher left them.
    std::string strOutputFile;  ///< Where they go; a detached daemon may write there later.
};

/// The descriptors of pid, as "fd -> target", in the order /proc lists them.
std::vector<std::string> descriptorsOf(pid_t pid);

class Sandbox {
public:
    /// strHomeName: the install tree's own directory name inside the temporary one.
    explicit Sandbox(const std::string& strHomeName = "Orvex");
    ~Sandbox();

    const std::string& home() const { return m_strHome; }
    std::string path(const std::string& name) const { return m_strHome + "/" + name; }
    int port() const { return m_nPort; }

    /// Writes conf/OrvexCustom.xml with the elements given (e.g. "<AssetManagement enabled=\"1\"/>").
    void setCustomization(const std::string& strElements);
    void writeRaw(const std::string& name, const std::string& content) {
        writeFile(path(name), content);
    }

    /// Runs prefix + ./OrvexMon + args in the home path (prefix[0] found on PATH, e.g.
    /// {"faketime", "2024-03-10 10:00:00"}), with env entries ("NAME=value") added to the
    /// environment, and waits for it to end.
    RunResult runUnder(const std::vector<std::string>& prefix, const std::vector<std::string>& args,
                       const std::vector<std::string>& env = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(15));
    RunResult run(const std::vector<std::string>& args) { return runUnder({}, args); }
    /// Starts the daemon (as runUnder does, with prefix) and waits for its first log line;
    /// its pid, or -1. The launcher must return within 10 s.
    pid_t startDaemon(const std::vector<std::string>& prefix = {});
    /// "OrvexMon -k" (or nSignal sent to the daemon) and the daemon's end; true when it was
    /// gone in time. Nothing may have printed a message or a sanitizer report on the way.
    bool stopDaemon(int nSignal = 0);
    /// Exit status of a child we reaped (the daemon is ours in a pid namespace); -1 else.
    int exitStatus(pid_t pid) const {
        const auto it = m_mapReaped.find(pid);
        return it != m_mapReaped.end() && WIFEXITED(it->second) ? WEXITSTATUS(it->second) : -1;
    }

    std::string log(const char* pszModule = "OrvexMon") const;  ///< Today's log file.
    int countInLog(const std::string& text) const;
    /// Live (not zombie) pids whose command name is name.
    std::vector<pid_t> pidsOf(const std::string& name);
    bool isRunning(const std::string& name) { return !pidsOf(name).empty(); }
    int starts(const std::string& name) const { return int(startTimes(name).size()); }
    /// When each start of name happened, on the monotonic clock, in milliseconds.
    std::vector<long long> startTimes(const std::string& name) const;
    /// Pids whose end the daemon watches (its pidfd descriptors).
    std::vector<pid_t> watchedPids() const;
    /// Waits until a watchdog pass has run after now: a fresh core file gets mode 0777.
    bool waitForPass(std::chrono::milliseconds timeout = std::chrono::seconds(12));
    bool hasEnded(pid_t pid) { return reap(), m_mapReaped.count(pid) != 0; }

private:
    void reap();  // ended children: we are init of our own pid namespace when run as root
    TempDir m_dir;
    std::string m_strHome;
    int m_nPort;
    pid_t m_daemonPid = -1;
    std::string m_strDaemonOutput;  // standard output and error the daemon inherited
    int m_nPassProbe = 0;
    std::map<pid_t, int> m_mapReaped;
};

}  // namespace testsupport

#endif
