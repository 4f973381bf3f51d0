#include "orvexUtility.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace {

// Neither file is anywhere near this; a bigger one is not ours.
constexpr size_t kMaxFileSize = 1 << 20;

class CUniqueFd {
public:
    explicit CUniqueFd(int nFd) : m_nFd(nFd) {}
    ~CUniqueFd() {
        if (m_nFd >= 0)
            ::close(m_nFd);
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    int get() const { return m_nFd; }

private:
    int m_nFd;
};

// What tells one version of a file from another without reading it.
struct FileStamp {
    dev_t nDev = 0;
    ino_t nIno = 0;
    off_t nSize = 0;
    timespec mtime = {};
    timespec ctime = {};
};

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool operator==(const FileStamp& a, const FileStamp& b) {
    return a.nDev == b.nDev && a.nIno == b.nIno && a.nSize == b.nSize &&
           sameTime(a.mtime, b.mtime) && sameTime(a.ctime, b.ctime);
}

FileStamp stampOf(const struct stat& st) {
    FileStamp stamp;
    stamp.nDev = st.st_dev;
    stamp.nIno = st.st_ino;
    stamp.nSize = st.st_size;
#ifdef __APPLE__
    stamp.mtime = st.st_mtimespec;
    stamp.ctime = st.st_ctimespec;
#else
    stamp.mtime = st.st_mtim;
    stamp.ctime = st.st_ctim;
#endif
    return stamp;
}

// File times are coarse (a clock tick): a file changed again within the tick in which it
// was read may keep its stamp. So a stamp counts only for a file that had rested a while
// before the read; a younger file is parsed on every call until it has.
bool hasRested(const FileStamp& stamp) {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return stamp.mtime.tv_sec + 2 <= now.tv_sec;
}

// The last successful verification that may stand for the next ones, while neither file
// has changed since: the customization is then verified already and is not parsed again.
struct VerifiedFiles {
    bool bValid = false;
    FileStamp system;
    std::string strCustomPath;
    FileStamp custom;
};

std::mutex s_mutex;  // guards the three below
unsigned char s_record[kCusRecordSize];
bool s_bRecordLoaded = false;
VerifiedFiles s_verified;

// Only a regular file is read, and the open does not wait: a FIFO without a writer would
// otherwise hold the caller (the daemon's watchdog) for ever, and a device is no file of
// ours. The stamp is that of the file as it was when the reading began.
bool readWholeFile(const char* pszPath, std::string& strContent, FileStamp& stamp) {
    CUniqueFd fd(::open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    stamp = stampOf(st);
    strContent.clear();
    char buf[4096];
    for (;;) {
        const ssize_t nRead = ::read(fd.get(), buf, sizeof(buf));
        if (nRead == 0)
            return true;
        if (nRead < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        strContent.append(buf, static_cast<size_t>(nRead));
        if (strContent.size() > kMaxFileSize)
            return false;
    }
}

std::string trimBlanks(const std::string& str) {
    const size_t nFirst = str.find_first_not_of(" \t");
    if (nFirst == std::string::npos)
        return std::string();
    return str.substr(nFirst, str.find_last_not_of(" \t") - nFirst + 1);
}

bool equalsNoCase(const std::string& str, const char* pszAscii) {
    return ::strcasecmp(str.c_str(), pszAscii) == 0;
}

// The system file is key=value lines; the daemon reads it the same way: lines end at a
// line feed or a carriage return and a line feed, the key before the first "=", both
// sides trimmed of blanks and tabs, "#" lines are comments, a later line wins. Empty when
// there is no INSTALL_DIR.
std::string readInstallDir(FileStamp& stamp) {
    std::string strContent;
    if (!readWholeFile(ORVEXUTILITY_SYSTEM_CONF, strContent, stamp))
        return std::string();
    std::string strInstallDir;
    size_t nPos = 0;
    while (nPos < strContent.size()) {
        size_t nEnd = strContent.find('\n', nPos);
        size_t nLineEnd = nEnd;
        if (nEnd == std::string::npos)
            nEnd = nLineEnd = strContent.size();
        else if (nEnd > nPos && strContent[nEnd - 1] == '\r')
            --nLineEnd;
        const std::string strLine = trimBlanks(strContent.substr(nPos, nLineEnd - nPos));
        nPos = nEnd + 1;
        const size_t nSep = strLine.find('=');
        if (strLine.empty() || strLine[0] == '#' || nSep == std::string::npos)
            continue;
        if (equalsNoCase(trimBlanks(strLine.substr(0, nSep)), "INSTALL_DIR"))
            strInstallDir = trimBlanks(strLine.substr(nSep + 1));
    }
    return strInstallDir;
}

// Cuts at most nMax bytes off pszText, backing off so as not to split a UTF-8 character.
size_t cutLength(const char* pszText, size_t nMax) {
    size_t nLen = ::strlen(pszText);
    if (nLen <= nMax)
        return nLen;
    nLen = nMax;
    while (nLen > 0 && (static_cast<unsigned char>(pszText[nLen]) & 0xC0) == 0x80)
        --nLen;
    return nLen;
}

// enabled="1" or "0"; anything else, a missing attribute included, is an error.
bool readEnabled(const tinyxml2::XMLElement* pElement, bool& bEnabled) {
    const char* pszValue = pElement->Attribute("enabled");
    if (pszValue == nullptr)
        return false;
    if (::strcmp(pszValue, "1") == 0)
        bEnabled = true;
    else if (::strcmp(pszValue, "0") == 0)
        bEnabled = false;
    else
        return false;
    return true;
}

void setUninstallProtect(unsigned char* pRecord, const char* pszText) {
    const uint64_t nSet = 1;
    ::memcpy(pRecord + kCusUninstallSetOffset, &nSet, sizeof(nSet));
    const size_t nRoom = kCusRecordSize - kCusUninstallTextOffset - 1;
    const size_t nLen = cutLength(pszText, nRoom);
    ::memcpy(pRecord + kCusUninstallTextOffset, pszText, nLen);
    pRecord[kCusUninstallTextOffset + nLen] = '\0';
}

// Fills pRecord (zeroed by the caller) from the document; 0 or a kCusErr* code.
// Only the root's children count; of a repeated element the last one does.
int buildRecord(const tinyxml2::XMLDocument& doc, unsigned char* pRecord) {
    const tinyxml2::XMLElement* pRoot = doc.RootElement();
    if (pRoot == nullptr || ::strcmp(pRoot->Name(), "OrvexCustom") != 0)
        return kCusErrContent;
    for (const tinyxml2::XMLElement* pChild = pRoot->FirstChildElement(); pChild != nullptr;
         pChild = pChild->NextSiblingElement()) {
        const char* pszName = pChild->Name();
        unsigned char nFlag = 0;
        if (::strcmp(pszName, "AssetManagement") == 0)
            nFlag = kCusFlagAssetManagement;
        else if (::strcmp(pszName, "LeakPrevention") == 0)
            nFlag = kCusFlagLeakPrevention;
        else if (::strcmp(pszName, "UninstallProtect") != 0)
            continue;
        bool bEnabled = false;
        if (!readEnabled(pChild, bEnabled))
            return kCusErrContent;
        if (nFlag != 0) {
            pRecord[kCusFlagOffset] = static_cast<unsigned char>(
                bEnabled ? pRecord[kCusFlagOffset] | nFlag : pRecord[kCusFlagOffset] & ~nFlag);
            continue;
        }
        ::memset(pRecord + kCusUninstallSetOffset, 0, kCusRecordSize - kCusUninstallSetOffset);
        if (bEnabled)
            setUninstallProtect(pRecord, pChild->GetText() ? pChild->GetText() : "");
    }
    return 0;
}

// tinyxml2 takes any number of top-level elements and text; XML wants one root element
// and, besides it, only the declaration, comments and the like.
bool hasOneRoot(const tinyxml2::XMLDocument& doc) {
    int nElements = 0;
    for (const tinyxml2::XMLNode* pNode = doc.FirstChild(); pNode != nullptr;
         pNode = pNode->NextSibling()) {
        if (pNode->ToText() != nullptr)
            return false;
        nElements += pNode->ToElement() != nullptr;
    }
    return nElements == 1;
}

int verifyAndBuild(unsigned char* pRecord, VerifiedFiles& files) {
    const std::string strInstallDir = readInstallDir(files.system);
    if (strInstallDir.empty())
        return kCusErrUnreadable;
    files.strCustomPath = strInstallDir + "/conf/OrvexCustom.xml";
    std::string strXml;
    if (!readWholeFile(files.strCustomPath.c_str(), strXml, files.custom))
        return kCusErrUnreadable;
    tinyxml2::XMLDocument doc;
    if (doc.Parse(strXml.data(), strXml.size()) != tinyxml2::XML_SUCCESS || !hasOneRoot(doc))
        return kCusErrNotXml;
    return buildRecord(doc, pRecord);
}

// True when the file at pszPath is a regular file and still has that stamp.
bool unchanged(const char* pszPath, const FileStamp& stamp) {
    struct stat st;
    return ::stat(pszPath, &st) == 0 && S_ISREG(st.st_mode) && stampOf(st) == stamp;
}

// Whether the last successful verification stands: neither file changed since.
bool stillVerified() {
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_verified.bValid && unchanged(ORVEXUTILITY_SYSTEM_CONF, s_verified.system) &&
           unchanged(s_verified.strCustomPath.c_str(), s_verified.custom);
}

}  // namespace

extern "C" int utl_InitVerifyAndLoad(int* pnErr) {
    if (stillVerified()) {
        if (pnErr != nullptr)
            *pnErr = 0;
        return 1;
    }
    unsigned char record[kCusRecordSize] = {};
    VerifiedFiles files;
    const int nErr = verifyAndBuild(record, files);
    if (pnErr != nullptr)
        *pnErr = nErr;
    std::lock_guard<std::mutex> lock(s_mutex);
    if (nErr != 0) {
        s_verified.bValid = false;
        return 0;
    }
    ::memcpy(s_record, record, sizeof(s_record));
    s_bRecordLoaded = true;
    files.bValid = hasRested(files.system) && hasRested(files.custom);
    s_verified = files;
    return 1;
}

extern "C" int utl_LoadComnCusInfo(const unsigned char** ppRecord) {
    std::lock_guard<std::mutex> lock(s_mutex);
    if (ppRecord == nullptr || !s_bRecordLoaded)
        return 0;
    *ppRecord = s_record;
    return 1;
}
