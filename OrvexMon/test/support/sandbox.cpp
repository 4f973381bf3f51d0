#include "sandbox.h"

#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace testsupport {

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// The daemon and the services: copies in the tree that another user may run too.
const char* const kPrograms[] = {"OrvexMon", "AccessBroker", "AssetWarden", "LeakSentry"};

}  // namespace

std::multiset<std::string> descriptorsOf(pid_t pid) {
    return linesOf("find /proc/" + std::to_string(pid) +
                   "/fd -mindepth 1 -printf '%f -> %l\\n' 2>/dev/null; true");
}

Sandbox::Sandbox(const std::string& strHomeName)
    : m_strHome(m_dir / strHomeName), m_nPort(freeUdpPort()) {
    fs::create_directories(path("conf"));
    fs::create_directories(fs::path(ORVEXMON_TEST_SYSTEM_CONF).parent_path());
    writeFile(ORVEXMON_TEST_SYSTEM_CONF, "INSTALL_DIR=" + m_strHome + "\n");
    // A clean hour far from now keeps the daily log task out of the way.
    const time_t now = time(nullptr);
    writeFile(path("conf/Orvex.conf"),
              "COMMAND_PORT=" + std::to_string(m_nPort) + "\nLOG_CLEAN_HOUR=" +
                  std::to_string((localtime(&now)->tm_hour + 12) % 24) + "\n");
    setCustomization("");
    chmod(m_dir.path().c_str(), 0711);
    chmod(m_strHome.c_str(), 0755);
    for (const char* pszName : kPrograms)
        fs::copy_file(pszName == kPrograms[0] ? ORVEXMON_TEST_BINARY : ORVEXMON_TEST_STANDIN,
                      path(pszName));
    fs::copy(fs::path(ORVEXMON_TEST_BINARY).parent_path() / "libs", path("libs"));
}

Sandbox::~Sandbox() {
    for (const char* pszName : kPrograms) {
        for (pid_t pid : pidsOf(pszName))
            kill(pid, SIGKILL);
    }
    waitFor([&] { return pidsOf(kPrograms[0]).empty(); }, seconds(5));
    unlink(ORVEXMON_TEST_SYSTEM_CONF);
    for (const fs::directory_entry& entry : fs::directory_iterator(m_dir.path())) {
        if (entry.path().filename().string().rfind("sanitizer", 0) == 0)
            ADD_FAILURE() << readFile(entry.path());
    }
}

void Sandbox::setCustomization(const std::string& strElements) {
    writeFile(path("conf/OrvexCustom.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<OrvexCustom>\n" + strElements +
                  "\n</OrvexCustom>\n");
}

RunResult Sandbox::run(const std::vector<std::string>& args, std::vector<std::string> prefix) {
    static int s_nRun = 0;
    const std::string strOut = path("run" + std::to_string(++s_nRun) + ".out");
    prefix.push_back("./OrvexMon");
    prefix.insert(prefix.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : prefix)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // Reports land beside the tree, whatever the daemon did with its output. libfaketime
        // may be preloaded ahead of the sanitizer runtime, which would refuse to start.
        const std::string strLog = ":log_path=" + (m_dir / "sanitizer");
        const char* pszAsan = getenv("ASAN_OPTIONS");
        const char* pszUbsan = getenv("UBSAN_OPTIONS");
        setenv("ASAN_OPTIONS",
               ((pszAsan ? pszAsan : "") + strLog + ":verify_asan_link_order=0").c_str(), 1);
        setenv("UBSAN_OPTIONS", ((pszUbsan ? pszUbsan : "") + strLog).c_str(), 1);
        if (freopen(strOut.c_str(), "w", stdout) && dup2(STDOUT_FILENO, STDERR_FILENO) >= 0 &&
            chdir(m_strHome.c_str()) == 0)
            execvp(argv[0], argv.data());
        _exit(127);
    }
    const int nStatus = waitForExit(pid, seconds(15));
    if (nStatus == -2) {
        kill(pid, SIGKILL);
        waitForExit(pid, seconds(5));
        ADD_FAILURE() << "OrvexMon did not end in time";
    }
    return {nStatus, readFile(strOut), strOut};
}

pid_t Sandbox::startDaemon(const std::vector<std::string>& prefix) {
    // Each daemon of this tree logs this once; the new one's line is the last.
    const std::string marker = "[dbg-in-wrn] start check";
    const int nBefore = countInLog(marker);
    const RunResult launch = run({}, prefix);
    EXPECT_EQ(launch.nStatus, 0) << launch.strOutput;
    m_strDaemonOutput = launch.strOutputFile;
    if (!waitFor([&] { return countInLog(marker) > nBefore; }, seconds(10))) {
        ADD_FAILURE() << "no daemon start in the log:\n" << log();
        return -1;
    }
    const std::string text = log();
    const size_t at = text.rfind('\n', text.rfind(marker));
    m_daemonPid = atoi(text.c_str() + text.find("] [", at == std::string::npos ? 0 : at) + 3);
    return m_daemonPid;
}

int Sandbox::stopDaemon(int nSignal) {
    if (nSignal != 0) {
        kill(m_daemonPid, nSignal);
    } else {
        const RunResult stop = run({"-k"});
        EXPECT_EQ(stop.nStatus, 255);
        EXPECT_EQ(stop.strOutput, "");
    }
    const int nStatus = waitForExit(m_daemonPid, seconds(5));
    // A sanitizer writes its report as the process ends.
    EXPECT_EQ(nStatus == -2 ? "" : readFile(m_strDaemonOutput), "");
    return nStatus;
}

std::string Sandbox::log(const std::string& module) const {
    const time_t now = time(nullptr);
    char szDate[16];
    strftime(szDate, sizeof(szDate), "%Y%m%d", localtime(&now));
    return readFile(path("log/" + module + szDate + ".log"));
}

int Sandbox::countInLog(const std::string& text) const {
    const std::string strLog = log();
    int n = 0;
    for (size_t at = strLog.find(text); at != std::string::npos; at = strLog.find(text, at + 1))
        ++n;
    return n;
}

std::vector<pid_t> Sandbox::pidsOf(const std::string& name) const {
    std::vector<pid_t> pids;
    for (const std::string& pid : linesOf("pgrep -x -r R,S,D,T " + name + "; true"))
        pids.push_back(static_cast<pid_t>(atoi(pid.c_str())));
    return pids;
}

std::vector<std::pair<pid_t, long long>> Sandbox::starts(const std::string& name) const {
    std::vector<std::pair<pid_t, long long>> starts;
    for (const std::string& line : readLines(path(name + ".starts")))
        starts.emplace_back(atoi(line.c_str()), atoll(line.c_str() + line.find(' ')));
    return starts;
}

bool Sandbox::waitForPass() {
    const std::string probe = path("probe" + std::to_string(++m_nPassProbe) + ".core");
    writeFile(probe, "");
    chmod(probe.c_str(), 0600);
    struct stat st;
    return waitFor([&] { return stat(probe.c_str(), &st) == 0 && (st.st_mode & 0777) == 0777; },
                   seconds(12));
}

int Sandbox::waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    const bool bEnded = waitFor(
        [&] {
            int status;
            for (pid_t ended; (ended = waitpid(-1, &status, WNOHANG)) > 0;)
                m_mapReaped[ended] = status;
            return m_mapReaped.count(pid) != 0;
        },
        timeout);
    const int status = bEnded ? m_mapReaped[pid] : 0;
    return !bEnded ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
