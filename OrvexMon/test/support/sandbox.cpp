#include "sandbox.h"

#include "udpTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

const char* const kServices[] = {"AccessBroker", "AssetWarden", "LeakSentry"};

// The command name of a live (not zombie) process from /proc/<pid>/stat; "" when it is gone.
std::string liveCommandName(pid_t pid) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = text.find('('), close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size() || strchr("ZX", text[close + 2]))
        return "";
    return text.substr(open + 1, close - open - 1);
}

std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename());
    return names;
}

}  // namespace

std::vector<std::string> descriptorsOf(pid_t pid) {
    std::vector<std::string> targets;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (const std::string& name : namesIn(dir)) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(dir + name, ec);
        if (!ec)
            targets.push_back(name + " -> " + target.string());
    }
    return targets;
}

Sandbox::Sandbox(const std::string& strHomeName)
    : m_strHome(m_dir / strHomeName), m_nPort(freeUdpPort()) {
    fs::create_directories(path("conf"));
    fs::create_directories(fs::path(ORVEXMON_TEST_SYSTEM_CONF).parent_path());
    writeFile(ORVEXMON_TEST_SYSTEM_CONF, "INSTALL_DIR=" + home() + "\n");
    // A clean hour far from now keeps the daily log task out of the way.
    const time_t now = time(nullptr);
    writeFile(path("conf/Orvex.conf"),
              "COMMAND_PORT=" + std::to_string(m_nPort) + "\nLOG_CLEAN_HOUR=" +
                  std::to_string((localtime(&now)->tm_hour + 12) % 24) + "\n");
    setCustomization("");
    fs::create_symlink(ORVEXMON_TEST_BINARY, path("OrvexMon"));
    for (const char* pszName : kServices)
        fs::copy_file(ORVEXMON_TEST_STANDIN, path(pszName));
}

Sandbox::~Sandbox() {
    const auto daemonGone = [&] { return m_daemonPid <= 0 || liveCommandName(m_daemonPid).empty(); };
    if (!daemonGone())
        kill(m_daemonPid, SIGKILL);
    for (const char* pszName : kServices) {
        for (pid_t pid : pidsOf(pszName))
            kill(pid, SIGKILL);
    }
    waitFor([&] { return reap(), daemonGone(); }, std::chrono::seconds(5));
    unlink(ORVEXMON_TEST_SYSTEM_CONF);
    for (const std::string& name : namesIn(m_dir.path())) {
        if (name.rfind("sanitizer", 0) == 0)
            ADD_FAILURE() << readFile(m_dir / name);
    }
}

void Sandbox::setCustomization(const std::string& strElements) {
    writeFile(path("conf/OrvexCustom.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<OrvexCustom>\n" + strElements +
                  "\n</OrvexCustom>\n");
}

RunResult Sandbox::runUnder(const std::vector<std::string>& prefix,
                            const std::vector<std::string>& args,
                            const std::vector<std::string>& env,
                            std::chrono::milliseconds timeout) {
    static int s_nRun = 0;
    const std::string strOut = path("run" + std::to_string(++s_nRun) + ".out");
    std::vector<std::string> words = prefix;
    words.push_back("./OrvexMon");
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<std::string> vars = env;
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(strOut.c_str(), "w", stdout) || dup2(STDOUT_FILENO, STDERR_FILENO) < 0 ||
            chdir(home().c_str()) != 0)
            _exit(126);
        for (std::string& var : vars)
            putenv(var.data());
        // Reports land beside the tree, whatever the daemon did with its output.
        for (const char* pszVar : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            const char* pszOld = getenv(pszVar);
            setenv(pszVar,
                   (std::string(pszOld ? pszOld : "") + ":log_path=\"" + (m_dir / "sanitizer") +
                    "\"")
                       .c_str(),
                   1);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (!waitFor([&] { return hasEnded(pid); }, timeout)) {
        kill(pid, SIGKILL);
        waitFor([&] { return hasEnded(pid); }, std::chrono::seconds(5));
        ADD_FAILURE() << "OrvexMon did not end in time";
    }
    return {exitStatus(pid), readFile(strOut), strOut};
}

pid_t Sandbox::startDaemon(const std::vector<std::string>& prefix) {
    // Each daemon of this tree logs this once; the new one's line is the last.
    const std::string marker = "[dbg-in-wrn] start check";
    const int nBefore = countInLog(marker);
    const RunResult launch = runUnder(prefix, {}, {}, std::chrono::seconds(10));
    EXPECT_EQ(launch.nStatus, 0) << launch.strOutput;
    m_strDaemonOutput = launch.strOutputFile;
    if (!waitFor([&] { return countInLog(marker) > nBefore; }, std::chrono::seconds(10))) {
        ADD_FAILURE() << "no daemon start in the log:\n" << log();
        return -1;
    }
    const std::string text = log();
    const size_t at = text.rfind('\n', text.rfind(marker));
    m_daemonPid = atoi(text.c_str() + text.find("] [", at == std::string::npos ? 0 : at) + 3);
    return m_daemonPid;
}

bool Sandbox::stopDaemon(int nSignal) {
    if (nSignal != 0) {
        kill(m_daemonPid, nSignal);
    } else {
        const RunResult stop = run({"-k"});
        EXPECT_EQ(stop.nStatus, 255);
        EXPECT_EQ(stop.strOutput, "");
    }
    const bool bEnded = waitFor([&] { return reap(), liveCommandName(m_daemonPid).empty(); },
                                std::chrono::seconds(5));
    // A sanitizer writes its report as the process ends.
    EXPECT_EQ(bEnded ? readFile(m_strDaemonOutput) : "", "");
    return bEnded;
}

std::string Sandbox::log(const char* pszModule) const {
    const time_t now = time(nullptr);
    char szDate[16];
    strftime(szDate, sizeof(szDate), "%Y%m%d", localtime(&now));
    return readFile(path(std::string("log/") + pszModule + szDate + ".log"));
}

int Sandbox::countInLog(const std::string& text) const {
    const std::string strLog = log();
    int n = 0;
    for (size_t at = strLog.find(text); at != std::string::npos; at = strLog.find(text, at + 1))
        ++n;
    return n;
}

std::vector<pid_t> Sandbox::pidsOf(const std::string& name) {
    reap();
    std::vector<pid_t> pids;
    for (const std::string& entry : namesIn("/proc")) {
        const pid_t pid = static_cast<pid_t>(atoi(entry.c_str()));
        if (pid > 0 && liveCommandName(pid) == name)
            pids.push_back(pid);
    }
    return pids;
}

std::vector<long long> Sandbox::startTimes(const std::string& name) const {
    std::vector<long long> times;
    for (const std::string& line : readLines(path(name + ".starts")))
        times.push_back(atoll(line.c_str() + line.find(' ')));
    return times;
}

std::vector<pid_t> Sandbox::watchedPids() const {
    std::vector<pid_t> pids;
    const std::string dir = "/proc/" + std::to_string(m_daemonPid) + "/fdinfo/";
    for (const std::string& name : namesIn(dir)) {
        const std::string info = readFile(dir + name);
        const size_t at = info.find("\nPid:\t");
        if (at != std::string::npos)
            pids.push_back(static_cast<pid_t>(atoi(info.c_str() + at + 6)));
    }
    return pids;
}

bool Sandbox::waitForPass(std::chrono::milliseconds timeout) {
    const std::string probe = path("probe" + std::to_string(++m_nPassProbe) + ".core");
    writeFile(probe, "");
    chmod(probe.c_str(), 0600);
    struct stat st;
    return waitFor([&] { return stat(probe.c_str(), &st) == 0 && (st.st_mode & 0777) == 0777; },
                   timeout);
}

void Sandbox::reap() {
    int status;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;)
        m_mapReaped[pid] = status;
}

}  // namespace testsupport
