#include "orvexUtility.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// The library reads the system file at the path this build compiled into it.
const std::string s_strSystemConf = ORVEXUTILITY_TEST_SYSTEM_CONF;

const char kAllEnabled[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<OrvexCustom>
  <AssetManagement enabled="1"/>
  <LeakPrevention enabled="1"/>
  <UninstallProtect enabled="1">any text</UninstallProtect>
</OrvexCustom>
)";

std::string custom(const std::string& strBody) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<OrvexCustom>\n" + strBody +
           "</OrvexCustom>\n";
}

uint64_t uninstallSet(const unsigned char* pRecord) {
    uint64_t nValue = 0;
    memcpy(&nValue, pRecord + kCusUninstallSetOffset, sizeof(nValue));
    return nValue;
}

std::string uninstallText(const unsigned char* pRecord) {
    const char* pszText = reinterpret_cast<const char*>(pRecord + kCusUninstallTextOffset);
    return std::string(pszText, strnlen(pszText, kCusRecordSize - kCusUninstallTextOffset));
}

class CustomizationTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Never write a real installation's system file, only a sandbox in the build tree.
        if (s_strSystemConf.rfind(ORVEXUTILITY_TEST_BUILD_DIR "/", 0) != 0)
            GTEST_SKIP() << "the system file " << s_strSystemConf << " is outside the build tree";
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(s_strSystemConf).parent_path(),
                                            ec);
        ASSERT_FALSE(ec) << ec.message();
        ASSERT_EQ(mkdir((m_dir / "conf").c_str(), 0755), 0);
        writeSystemFile("INSTALL_DIR=" + m_dir.path() + "\n");
        m_bWroteSystemFile = true;
    }
    void TearDown() override {
        if (m_bWroteSystemFile)
            remove(s_strSystemConf.c_str());
    }

    void writeSystemFile(const std::string& strContent) { writeFile(s_strSystemConf, strContent); }
    void writeCustom(const std::string& strXml) { writeFile(customPath(), strXml); }
    std::string customPath() const { return m_dir / "conf/OrvexCustom.xml"; }

    /// The error code of a failed verify, 0 when it verified.
    int verify() {
        int nErr = 0;
        const int nOk = utl_InitVerifyAndLoad(&nErr);
        EXPECT_EQ(nOk == 0, nErr != 0) << "result " << nOk << ", error " << nErr;
        return nErr;
    }
    const unsigned char* load() {
        const unsigned char* pRecord = nullptr;
        EXPECT_NE(utl_LoadComnCusInfo(&pRecord), 0);
        EXPECT_NE(pRecord, nullptr);
        return pRecord;
    }

    TempDir m_dir;
    bool m_bWroteSystemFile = false;
};

struct ValidCase {
    const char* pszCase;
    std::string strXml;
    unsigned char nFlags;  // the whole flag byte
    bool bUninstall;
    std::string strText;
};

TEST_F(CustomizationTest, RecordFollowsTheFile) {
    const auto wide = [](int n) {
        std::string str;
        for (int i = 0; i < n; ++i)
            str += "\xC3\xA9";
        return str;
    };
    const ValidCase cases[] = {
        {"all enabled", kAllEnabled, 0x24, true, "any text"},
        {"asset management alone", custom(R"(<AssetManagement enabled="1"/>)"), 0x04, false, ""},
        {"leak prevention alone", custom(R"(<LeakPrevention enabled="1"/>)"), 0x20, false, ""},
        {"uninstall protect alone",
         custom(R"(<UninstallProtect enabled="1">keep me</UninstallProtect>)"), 0x00, true,
         "keep me"},
        {"uninstall protect without text", custom(R"(<UninstallProtect enabled="1"/>)"), 0x00, true,
         ""},
        {"all disabled",
         custom(R"(<AssetManagement enabled="0"/><LeakPrevention enabled="0"/>)"
                R"(<UninstallProtect enabled="0">ignored</UninstallProtect>)"),
         0x00, false, ""},
        {"no elements", custom(""), 0x00, false, ""},
        {"no declaration", R"(<OrvexCustom><LeakPrevention enabled="1"/></OrvexCustom>)", 0x20,
         false, ""},
        {"unknown elements ignored",
         custom(R"(<Branding enabled="yes"/><!-- note --><AssetManagement enabled="1">)"
                R"(<Extra/></AssetManagement><Group><LeakPrevention enabled="1"/></Group>)"),
         0x04, false, ""},
        {"later element wins",
         custom(R"(<AssetManagement enabled="1"/><AssetManagement enabled="0"/>)"), 0x00, false, ""},
        {"long text cut to the record",  // 1055 bytes and a NUL
         custom("<UninstallProtect enabled=\"1\">" + std::string(3000, 'x') + "</UninstallProtect>"),
         0x00, true, std::string(kCusRecordSize - kCusUninstallTextOffset - 1, 'x')},
        {"cut between two-byte characters",
         custom("<UninstallProtect enabled=\"1\">" + wide(600) + "</UninstallProtect>"), 0x00, true,
         wide(527)},
    };
    for (const ValidCase& c : cases) {
        SCOPED_TRACE(c.pszCase);
        writeCustom(c.strXml);
        ASSERT_EQ(verify(), 0);
        const unsigned char* pRecord = load();
        ASSERT_NE(pRecord, nullptr);
        EXPECT_EQ(pRecord[kCusFlagOffset], c.nFlags);
        EXPECT_EQ(uninstallSet(pRecord) != 0, c.bUninstall);
        EXPECT_EQ(uninstallText(pRecord), c.strText);
    }
}

struct BadCase {
    const char* pszCase;
    const char* pszXml;  // null: no file
    int nErr;
};

TEST_F(CustomizationTest, VerifyFailsWithTheCauseAndKeepsTheLastRecord) {
    const BadCase cases[] = {
        {"missing file", nullptr, 1},
        {"empty file", "", 2},
        {"unclosed element", "<OrvexCustom><AssetManagement enabled=\"1\"></OrvexCustom>", 2},
        {"not XML at all", "INSTALL_DIR=/opt\n", 2},
        {"two roots", "<OrvexCustom/><OrvexCustom/>", 2},
        {"text beside the root", "<OrvexCustom/>trailing", 2},
        {"declaration only", "<?xml version=\"1.0\"?>\n", 2},
        {"mismatched tags", "<OrvexCustom></OrvexCustomX>", 2},
        {"wrong root", "<Custom><AssetManagement enabled=\"1\"/></Custom>", 3},
        {"root in other case", "<orvexcustom/>", 3},
        {"enabled yes", "<OrvexCustom><AssetManagement enabled=\"yes\"/></OrvexCustom>", 3},
        {"enabled empty", "<OrvexCustom><LeakPrevention enabled=\"\"/></OrvexCustom>", 3},
        {"enabled with blank", "<OrvexCustom><LeakPrevention enabled=\" 1\"/></OrvexCustom>", 3},
        {"enabled 2",
         "<OrvexCustom><UninstallProtect enabled=\"2\">t</UninstallProtect></OrvexCustom>", 3},
        {"enabled missing", "<OrvexCustom><AssetManagement/></OrvexCustom>", 3},
    };
    writeCustom(kAllEnabled);
    ASSERT_EQ(verify(), 0);
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.pszCase);
        remove(customPath().c_str());
        if (c.pszXml != nullptr)
            writeCustom(c.pszXml);
        int nErr = 0;
        EXPECT_EQ(utl_InitVerifyAndLoad(&nErr), 0);
        EXPECT_EQ(nErr, c.nErr);
        EXPECT_EQ(load()[kCusFlagOffset], 0x24) << "a failed verify keeps the last record";
    }
}

// Only regular files are read, and nothing waits: a FIFO without a writer, a device or a
// directory in place of either file is unreadable (a symbolic link to a file is read).
TEST_F(CustomizationTest, OnlyRegularFilesAreRead) {
    const std::string strReal = m_dir / "real.xml";
    writeFile(strReal, kAllEnabled);
    struct Case {
        const char* pszCase;
        std::function<int(const std::string&)> make;  // puts it at the path given
        int nErr;
    } cases[] = {
        {"FIFO", [](const std::string& p) { return mkfifo(p.c_str(), 0644); }, 1},
        {"directory", [](const std::string& p) { return mkdir(p.c_str(), 0755); }, 1},
        {"device", [](const std::string& p) { return symlink("/dev/zero", p.c_str()); }, 1},
        {"link to a file",
         [&](const std::string& p) { return symlink(strReal.c_str(), p.c_str()); }, 0},
    };
    const std::string strSystem = "INSTALL_DIR=" + m_dir.path() + "\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszCase);
        std::filesystem::remove_all(customPath());
        ASSERT_EQ(c.make(customPath()), 0);
        EXPECT_EQ(verify(), c.nErr) << "as the customization";
        std::filesystem::remove_all(customPath());
        writeCustom(kAllEnabled);
        ASSERT_EQ(verify(), 0);
        std::filesystem::remove_all(s_strSystemConf);
        ASSERT_EQ(c.make(s_strSystemConf), 0);
        if (c.nErr == 0)
            writeFile(strReal, strSystem);
        EXPECT_EQ(verify(), c.nErr) << "as the system file";
        std::filesystem::remove_all(s_strSystemConf);
        writeSystemFile(strSystem);
        writeFile(strReal, kAllEnabled);
    }
}

struct SystemFileCase {
    const char* pszCase;
    std::string strContent;  // "@" stands for the test's install directory
    int nErr;
};

TEST_F(CustomizationTest, InstallDirComesFromTheSystemFile) {
    const SystemFileCase cases[] = {
        {"plain", "INSTALL_DIR=@\n", 0},
        {"key in other case, blanks and tabs", "\t install_dir \t=  @ \t\n", 0},
        {"comment and other keys", "# INSTALL_DIR=/nowhere\nVERSION=1\nINSTALL_DIR=@", 0},
        {"later line wins", "INSTALL_DIR=/nowhere\nINSTALL_DIR=@\n", 0},
        {"earlier line loses", "INSTALL_DIR=@\nINSTALL_DIR=/nowhere\n", 1},
        {"commented out", "#INSTALL_DIR=@\n", 1},
        {"no INSTALL_DIR", "VERSION=1\n", 1},
        {"empty value", "INSTALL_DIR=\n", 1},
        {"CRLF line ends", "# client\r\n\r\nINSTALL_DIR=@\r\n", 0},
        {"CRLF, last line without its line feed", "INSTALL_DIR=@\r", 1},
    };
    writeCustom(kAllEnabled);
    for (const SystemFileCase& c : cases) {
        SCOPED_TRACE(c.pszCase);
        std::string strContent = c.strContent;
        const size_t nAt = strContent.find('@');
        if (nAt != std::string::npos)
            strContent.replace(nAt, 1, m_dir.path());
        writeSystemFile(strContent);
        EXPECT_EQ(verify(), c.nErr);
    }
    remove(s_strSystemConf.c_str());
    EXPECT_EQ(verify(), 1) << "without a system file";
}

// Files that rested before a verify are not parsed again while their stamp (device, inode,
// size, modification and change time) stays; any change to them is still seen.
TEST_F(CustomizationTest, RestedFilesStayVerifiedUntilTheyChange) {
    const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    const auto rest = [&] {
        ASSERT_EQ(utimensat(AT_FDCWD, customPath().c_str(), anHourAgo, 0), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, s_strSystemConf.c_str(), anHourAgo, 0), 0);
    };
    const std::string strFirst = custom(R"(<AssetManagement enabled="1"/>)");
    const std::string strSecond = custom(R"(<AssetManagement enabled="0"/>)");
    ASSERT_EQ(strFirst.size(), strSecond.size());
    writeCustom(strFirst);
    rest();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(verify(), 0);
        EXPECT_EQ(load()[kCusFlagOffset], 0x04);
    }
    writeCustom(strSecond);  // same size, at once
    ASSERT_EQ(verify(), 0);
    EXPECT_EQ(load()[kCusFlagOffset], 0x00);
    rest();
    ASSERT_EQ(verify(), 0);
    writeFile(m_dir / "other.xml", strFirst);
    rest();
    ASSERT_EQ(rename((m_dir / "other.xml").c_str(), customPath().c_str()), 0);
    ASSERT_EQ(verify(), 0);
    EXPECT_EQ(load()[kCusFlagOffset], 0x04) << "a file put in place by rename";
    rest();
    ASSERT_EQ(verify(), 0);
    writeSystemFile("INSTALL_DIR=/nowhere\n");
    EXPECT_EQ(verify(), 1) << "a changed system file";
    writeSystemFile("INSTALL_DIR=" + m_dir.path() + "\n");
    rest();
    ASSERT_EQ(verify(), 0);
    remove(customPath().c_str());
    ASSERT_EQ(mkfifo(customPath().c_str(), 0644), 0);
    EXPECT_EQ(verify(), 1) << "a FIFO in place of a verified file";
}

// Needs a process in which nothing verified yet: the death test runs it in a fresh one.
// No fixture: the fresh process ends with _exit, which would leave its files behind.
TEST(OrvexUtilityLibraryTest, NoRecordBeforeTheFirstVerify) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const unsigned char* pRecord = nullptr;
            const int nOk = utl_LoadComnCusInfo(&pRecord);
            _exit(nOk == 0 && pRecord == nullptr ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(OrvexUtilityLibraryTest, ExportsBothCallsByTheirCNames) {
    void* pLib = dlopen(ORVEXUTILITY_TEST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pLib, nullptr) << dlerror();
    EXPECT_NE(dlsym(pLib, "utl_InitVerifyAndLoad"), nullptr);
    EXPECT_NE(dlsym(pLib, "utl_LoadComnCusInfo"), nullptr);
    dlclose(pLib);
}

}  // namespace
