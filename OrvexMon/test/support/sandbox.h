// End-to-end sandbox: an install tree (home path) in a temporary directory with the
// configuration files, the customization, stand-in services and a copy of the real
// OrvexMon; the build's system file points INSTALL_DIR at it. Runs OrvexMon there and
// cleans up every process it knows of, by pid. Sanitizer reports of what it runs go to
// files of their own, since the daemon lets go of its output.
#pragma once

#include "testSupport.h"

#include <sys/types.h>

namespace testsupport {

/// Exit status (-1 when killed, 124 when it did not end in 15 s), and standard output and
/// error together as the launcher left them.
using RunResult = std::pair<int, std::string>;

/// The descriptors of pid, as "fd -> target".
inline std::multiset<std::string> descriptorsOf(pid_t pid) {
    return linesOf("find /proc/" + std::to_string(pid) +
                   "/fd -mindepth 1 -printf '%f -> %l\\n' 2>/dev/null; true");
}

class Sandbox {
public:
    /// strHomeName: the install tree's own directory name inside the temporary one;
    /// strCustom: the elements of conf/OrvexCustom.xml (e.g. "<AssetManagement enabled=\"1\"/>").
    explicit Sandbox(const std::string& strHomeName = "Orvex", const std::string& strCustom = "");
    ~Sandbox();

    std::string path(const std::string& name) const { return m_strHome + "/" + name; }
    int port() const { return m_nPort; }

    /// Runs prefix + ./OrvexMon + args in the home path (prefix[0] found on PATH, e.g.
    /// {"faketime", "2024-03-10 10:00:00"}) and waits for it to end.
    RunResult run(const std::vector<std::string>& args, std::vector<std::string> prefix = {});
    /// Starts the daemon (as run does, with prefix), which must print nothing, and waits for
    /// its first log line; its pid, or -1.
    pid_t startDaemon(const std::vector<std::string>& prefix = {});
    /// "OrvexMon -k" (or nSignal sent to the daemon); the daemon's exit status once it is gone
    /// (-1 when it was not gone in time).
    int stopDaemon(int nSignal = 0);

    std::string log(const std::string& module = "OrvexMon") const;  ///< Today's log file.
    int countInLog(const std::string& text) const;
    /// Live pids named name.
    std::multiset<std::string> pidsOf(const std::string& name) const {
        return linesOf("pgrep -x -r R,S,D,T " + name + "; true");
    }
    /// Each start of the stand-in name: "<pid> <ms>", its pid and the monotonic clock then.
    std::vector<std::string> starts(const std::string& name) const {
        return readLines(path(name + ".starts"));
    }
    /// Waits until a watchdog pass has run after now: a fresh core file gets mode 0777.
    bool waitForPass();

private:
    TempDir m_dir;
    std::string m_strHome;
    int m_nPort;
    pid_t m_daemonPid = -1;  // a child of ours: we are init of our own pid namespace
};

}  // namespace testsupport
