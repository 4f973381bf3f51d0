// Helpers shared by the unit and end-to-end tests: a temporary directory that
// removes itself, small file helpers, and polling with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
    std::string m_strPath;

public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;  // one owner removes it
    const std::string& path() const { return m_strPath; }
    std::string operator/(const std::string& name) const { return m_strPath + "/" + name; }
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);  ///< "" when missing.
std::vector<std::string> readLines(const std::string& path);
bool pathExists(const std::string& path);
/// The lines a shell command prints, in any order; a command that fails fails the test.
std::multiset<std::string> linesOf(const std::string& command);
/// Polls pred every 20 ms until it is true or the timeout passes; returns its last value.
bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

}  // namespace testsupport
