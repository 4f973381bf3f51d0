#include "orvexUtility.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <string>

namespace {

// The library reads the system file at the path this build compiled into it.
const std::string s_strSystemConf = ORVEXUTILITY_TEST_SYSTEM_CONF;

std::string custom(const std::string& strBody) {
    return "<?xml version=\"1.0\"?>\n<OrvexCustom>\n" + strBody + "</OrvexCustom>\n";
}
const std::string kAll = custom(R"(<AssetManagement enabled="1"/><LeakPrevention enabled="1"/>)"
                                R"(<UninstallProtect enabled="1">any text</UninstallProtect>)");

// Each row starts from a verified kAll whose files had rested (so the library keeps them
// as verified), then puts the row's files in place: "<none>" no file, "<fifo>" a FIFO
// without a writer, "@" the install directory. A failed verify keeps the last record.
TEST(OrvexUtilityTest, VerifyAndRecord) {
    // Never write a real installation's system file, only a sandbox in the build tree.
    if (s_strSystemConf.rfind(ORVEXUTILITY_TEST_BUILD_DIR "/", 0) != 0)
        GTEST_SKIP() << "the system file " << s_strSystemConf << " is outside the build tree";
    std::filesystem::create_directories(std::filesystem::path(s_strSystemConf).parent_path());
    testsupport::TempDir dir;
    ASSERT_EQ(mkdir((dir / "conf").c_str(), 0755), 0);
    const std::string strCustom = dir / "conf/OrvexCustom.xml";
    const auto put = [&](const std::string& strPath, std::string strText) {
        std::filesystem::remove_all(strPath);
        for (size_t n = strText.find('@'); n != std::string::npos; n = strText.find('@', n))
            strText.replace(n, 1, dir.path());
        if (strText == "<fifo>") {
            ASSERT_EQ(mkfifo(strPath.c_str(), 0644), 0);
        } else if (strText != "<none>") {
            testsupport::writeFile(strPath, strText);
        }
    };
    const auto verify = [] {
        int nErr = 0;
        const int nOk = utl_InitVerifyAndLoad(&nErr);
        EXPECT_EQ(nOk == 0, nErr != 0);
        return nErr;
    };
    struct Case {
        const char* pszCase;
        std::string strXml;
        int nErr;
        std::string strRecord;  // for a verify that succeeds
        std::string strSys = "INSTALL_DIR=@\n";
    } cases[] = {
        // clang-format off
        {"all enabled", kAll, 0, "36 1 any text"},
        {"same size, changed at once", custom(R"(<AssetManagement enabled="0"/><LeakPrevention enabled="1"/>)"
                                              R"(<UninstallProtect enabled="1">any text</UninstallProtect>)"), 0, "32 1 any text"},
        {"protect without text", custom(R"(<UninstallProtect enabled="1"/>)"), 0, "0 1 "},
        {"unknown and nested ignored", custom(R"(<X enabled="y"/><!-- c --><Group><LeakPrevention enabled="1"/></Group>)"), 0, "0 0 "},
        {"later element wins", custom(R"(<AssetManagement enabled="1"/><AssetManagement enabled="0"/>)"), 0, "0 0 "},
        {"long text cut", custom("<UninstallProtect enabled=\"1\">" + std::string(3000, 'x') + "</UninstallProtect>"), 0,
         "0 1 " + std::string(kCusRecordSize - kCusUninstallTextOffset - 1, 'x')},
        {"cut before a two-byte character", custom("<UninstallProtect enabled=\"1\">" + std::string(1054, 'x') + "\xC3\xA9</UninstallProtect>"), 0,
         "0 1 " + std::string(1054, 'x')},
        {"missing file", "<none>", 1, ""},
        {"FIFO", "<fifo>", 1, ""},
        {"system file a FIFO", kAll, 1, "", "<fifo>"},
        {"no INSTALL_DIR", kAll, 1, "", "#INSTALL_DIR=@\nINSTALL_DIR=\n"},
        {"system file rules", kAll, 0, "36 1 any text", "# c\r\n\r\nINSTALL_DIR=/nowhere\r\n\t install_dir \t= @ \r\n"},
        {"empty file", "", 2, ""},
        {"two roots", "<OrvexCustom/>text", 2, ""},
        {"wrong root", "<orvexcustom/>", 3, ""},
        {"enabled with blank", custom(R"(<LeakPrevention enabled=" 1"/>)"), 3, ""},
        {"enabled missing", custom(R"(<AssetManagement/>)"), 3, ""},
        // clang-format on
    };
    const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszCase);
        put(s_strSystemConf, "INSTALL_DIR=@\n");
        put(strCustom, kAll);
        ASSERT_EQ(utimensat(AT_FDCWD, strCustom.c_str(), anHourAgo, 0), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, s_strSystemConf.c_str(), anHourAgo, 0), 0);
        ASSERT_EQ(verify() + verify(), 0);  // the second finds the files verified
        put(s_strSystemConf, c.strSys);
        put(strCustom, c.strXml);
        EXPECT_EQ(verify(), c.nErr);
        const unsigned char* p = nullptr;  // the flag byte and the two uninstall fields
        ASSERT_NE(utl_LoadComnCusInfo(&p), 0);
        uint64_t nSet = 0;
        memcpy(&nSet, p + kCusUninstallSetOffset, sizeof(nSet));
        EXPECT_EQ(std::to_string(p[kCusFlagOffset]) + " " + std::to_string(nSet != 0) + " " +
                      std::string(reinterpret_cast<const char*>(p + kCusUninstallTextOffset)),
                  c.nErr ? "36 1 any text" : c.strRecord);
    }
    std::filesystem::remove_all(s_strSystemConf);
}

TEST(OrvexUtilityTest, ExportsBothCallsByTheirCNames) {
    void* pLib = dlopen(ORVEXUTILITY_TEST_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pLib, nullptr) << dlerror();
    EXPECT_NE(dlsym(pLib, "utl_InitVerifyAndLoad"), nullptr);
    EXPECT_NE(dlsym(pLib, "utl_LoadComnCusInfo"), nullptr);
    dlclose(pLib);
}

}  // namespace
