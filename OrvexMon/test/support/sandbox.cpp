#include "sandbox.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

const char* const kServices[] = {"AccessBroker", "AssetWarden", "LeakSentry"};

int freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        ADD_FAILURE() << "no free UDP port";
    close(fd);
    return ntohs(addr.sin_port);
}

// Command name and state of a process from /proc/<pid>/stat; false when it is gone.
bool readStat(pid_t pid, std::string& comm, char& state) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= text.size())
        return false;
    comm = text.substr(open + 1, close - open - 1);
    state = text[close + 2];
    return true;
}

bool isAlive(pid_t pid) {
    std::string comm;
    char state;
    return readStat(pid, comm, state) && state != 'Z' && state != 'X';
}

}  // namespace

std::vector<std::string> descriptorsOf(pid_t pid) {
    std::vector<std::string> targets;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    DIR* pDir = opendir(dir.c_str());
    while (const dirent* pEntry = pDir ? readdir(pDir) : nullptr) {
        char szTarget[512] = {};
        if (pEntry->d_name[0] != '.' &&
            readlink((dir + pEntry->d_name).c_str(), szTarget, sizeof(szTarget) - 1) > 0)
            targets.push_back(std::string(pEntry->d_name) + " -> " + szTarget);
    }
    if (pDir)
        closedir(pDir);
    return targets;
}

Sandbox::Sandbox(const std::string& strHomeName)
    : m_strHome(m_dir / strHomeName), m_nPort(freeUdpPort()) {
    namespace fs = std::filesystem;
    fs::create_directory(m_strHome);
    fs::create_directories(fs::path(ORVEXMON_TEST_SYSTEM_CONF).parent_path());
    writeFile(ORVEXMON_TEST_SYSTEM_CONF, "INSTALL_DIR=" + home() + "\n");
    fs::create_directory(path("conf"));
    // A clean hour far from now keeps the daily log task out of the way.
    const time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    writeFile(path("conf/Orvex.conf"),
              "COMMAND_PORT=" + std::to_string(m_nPort) +
                  "\nLOG_CLEAN_HOUR=" + std::to_string((tmNow.tm_hour + 12) % 24) + "\n");
    setCustomization("");
    fs::create_symlink(ORVEXMON_TEST_BINARY, path("OrvexMon"));
    for (const char* pszName : kServices)
        fs::copy_file(ORVEXMON_TEST_STANDIN, path(pszName));
}

Sandbox::~Sandbox() {
    if (m_daemonPid > 0 && isAlive(m_daemonPid))
        kill(m_daemonPid, SIGKILL);
    for (const char* pszName : kServices) {
        for (pid_t pid : pidsOf(pszName))
            kill(pid, SIGKILL);
    }
    waitFor(
        [&] {
            reap();
            return !(m_daemonPid > 0 && isAlive(m_daemonPid));
        },
        std::chrono::seconds(5));
    unlink(ORVEXMON_TEST_SYSTEM_CONF);
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path())) {
        if (entry.path().filename().string().rfind("sanitizer", 0) == 0)
            ADD_FAILURE() << readFile(entry.path());
    }
}

void Sandbox::setCustomization(const std::string& strElements) {
    writeFile(path("conf/OrvexCustom.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<OrvexCustom>\n" + strElements +
                  "\n</OrvexCustom>\n");
}

void Sandbox::writeRaw(const std::string& name, const std::string& content) {
    writeFile(path(name), content);
}

RunResult Sandbox::run(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    return runUnder({}, args, {}, timeout);
}

RunResult Sandbox::runUnder(const std::vector<std::string>& prefix,
                            const std::vector<std::string>& args,
                            const std::vector<std::string>& env,
                            std::chrono::milliseconds timeout) {
    static int s_nRun = 0;
    const std::string strOut = path("run" + std::to_string(++s_nRun) + ".out");
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || chdir(home().c_str()) != 0)
            _exit(126);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
        for (const std::string& entry : env)
            putenv(const_cast<char*>(entry.c_str()));
        // Reports land beside the tree, whatever the daemon did with its output.
        for (const char* pszVar : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            const char* pszOld = getenv(pszVar);
            const std::string strValue =
                std::string(pszOld ? pszOld : "") + ":log_path=\"" + (m_dir / "sanitizer") + "\"";
            setenv(pszVar, strValue.c_str(), 1);
        }
        std::vector<char*> argv;
        for (const std::string& arg : prefix)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(const_cast<char*>("./OrvexMon"));
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    RunResult result;
    if (!waitFor([&] { return hasEnded(pid); }, timeout)) {
        kill(pid, SIGKILL);
        waitFor([&] { return hasEnded(pid); }, std::chrono::seconds(5));
        ADD_FAILURE() << "OrvexMon did not end in time";
    }
    const int status = m_mapReaped[pid];
    if (WIFEXITED(status))
        result.nStatus = WEXITSTATUS(status);
    result.strOutput = readFile(strOut);
    result.strOutputFile = strOut;
    return result;
}

pid_t Sandbox::startDaemon(const std::vector<std::string>& prefix) {
    const RunResult launch = runUnder(prefix, {}, {}, std::chrono::seconds(10));
    EXPECT_EQ(launch.nStatus, 0) << launch.strOutput;
    m_strDaemonOutput = launch.strOutputFile;
    const std::string marker = "[dbg-in-wrn] start check";
    if (!waitFor([&] { return log().find(marker) != std::string::npos; },
                 std::chrono::seconds(10))) {
        ADD_FAILURE() << "no daemon start in the log:\n" << log();
        return -1;
    }
    const std::string text = log();
    const size_t at = text.rfind('\n', text.find(marker));
    const size_t open = text.find("] [", at == std::string::npos ? 0 : at);
    m_daemonPid = static_cast<pid_t>(atoi(text.c_str() + open + 3));
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
    const bool bEnded = waitFor(
        [&] {
            reap();
            return !isAlive(m_daemonPid);
        },
        std::chrono::seconds(5));
    // A sanitizer writes its report as the process ends.
    if (bEnded) {
        EXPECT_EQ(readFile(m_strDaemonOutput), "");
    }
    return bEnded;
}

int Sandbox::exitStatus(pid_t pid) const {
    const auto it = m_mapReaped.find(pid);
    return it != m_mapReaped.end() && WIFEXITED(it->second) ? WEXITSTATUS(it->second) : -1;
}

std::string Sandbox::log(const char* pszModule) const {
    const time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    char szDate[16];
    strftime(szDate, sizeof(szDate), "%Y%m%d", &tmNow);
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
    DIR* pDir = opendir("/proc");
    while (const dirent* pEntry = pDir ? readdir(pDir) : nullptr) {
        const pid_t pid = static_cast<pid_t>(atoi(pEntry->d_name));
        std::string comm;
        char state;
        if (pid > 0 && readStat(pid, comm, state) && comm == name && state != 'Z' && state != 'X')
            pids.push_back(pid);
    }
    if (pDir)
        closedir(pDir);
    return pids;
}

int Sandbox::starts(const std::string& name) const {
    return static_cast<int>(readLines(path(name + ".starts")).size());
}

std::vector<long long> Sandbox::startTimes(const std::string& name) const {
    std::vector<long long> times;
    for (const std::string& line : readLines(path(name + ".starts")))
        times.push_back(atoll(line.c_str() + line.find(' ')));
    return times;
}

std::vector<pid_t> Sandbox::watchedPids() const {
    std::vector<pid_t> pids;
    const std::string dir = "/proc/" + std::to_string(m_daemonPid) + "/fdinfo";
    DIR* pDir = opendir(dir.c_str());
    while (const dirent* pEntry = pDir ? readdir(pDir) : nullptr) {
        const std::string info = readFile(dir + "/" + pEntry->d_name);
        const size_t at = info.find("\nPid:\t");
        if (at != std::string::npos)
            pids.push_back(static_cast<pid_t>(atoi(info.c_str() + at + 6)));
    }
    if (pDir)
        closedir(pDir);
    return pids;
}

bool Sandbox::waitForPass(std::chrono::milliseconds timeout) {
    const std::string probe = path("probe" + std::to_string(++m_nPassProbe) + ".core");
    writeFile(probe, "");
    chmod(probe.c_str(), 0600);
    return waitFor(
        [&] {
            struct stat st;
            return stat(probe.c_str(), &st) == 0 && (st.st_mode & 0777) == 0777;
        },
        timeout);
}

void Sandbox::reap() {
    int status;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;)
        m_mapReaped[pid] = status;
}

bool Sandbox::hasEnded(pid_t pid) {
    reap();
    return m_mapReaped.count(pid) != 0;
}

}  // namespace testsupport
