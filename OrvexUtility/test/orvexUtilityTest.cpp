#include "orvexUtility.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>

// Each row starts from a verified customization whose files had rested (so the library keeps
// them as verified), then puts the row's files in place ("<fifo>": a FIFO without a writer)
// with INSTALL_DIR the working directory. want: the error code, the record's flag byte,
// whether uninstall protection is set and its text; a failed verify keeps the last record.
TEST(OrvexUtilityTest, VerifyAndRecord) {
    EXPECT_TRUE(dlsym(RTLD_DEFAULT, "utl_InitVerifyAndLoad") &&
                dlsym(RTLD_DEFAULT, "utl_LoadComnCusInfo"));  // the C names
    // The system file is at the path this build compiled in: never a real installation's.
    const std::string sys = ORVEXUTILITY_TEST_SYSTEM_CONF, xml = "conf/OrvexCustom.xml";
    if (sys.rfind(ORVEXUTILITY_TEST_BUILD_DIR "/", 0) != 0)
        GTEST_SKIP() << "the system file " << sys << " is outside the build tree";
    const testsupport::TempDir dir;
    std::filesystem::create_directories(std::filesystem::path(sys).parent_path());
    std::filesystem::create_directory(dir / "conf");
    std::filesystem::current_path(dir.path());
    const auto put = [](const std::string& path, const std::string& text) {
        std::filesystem::remove_all(path);
        if (text == "<fifo>")
            ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        else
            testsupport::writeFile(path, text);
    };
    const auto custom = [](const std::string& s) { return "<OrvexCustom>" + s + "</OrvexCustom>"; };
    const std::string all = custom(R"(<AssetManagement enabled="1"/><LeakPrevention enabled="1"/>)"
                                   R"(<UninstallProtect enabled="1">any text</UninstallProtect>)");
    const std::string kept = " 36 1 any text";
    // clang-format off
    const struct { const char* pszCase; std::string strXml, want, strSys = "INSTALL_DIR=.\n"; } cases[] = {
        {"all enabled", all, "0" + kept},
        {"same size, changed at once", custom(R"(<AssetManagement enabled="0"/><LeakPrevention enabled="1"/>)"
                                              R"(<UninstallProtect enabled="1">any text</UninstallProtect>)"), "0 32 1 any text"},
        {"protect without text", custom(R"(<UninstallProtect enabled="1"/>)"), "0 0 1 "},
        {"unknown, nested, later ignored", custom(R"(<X enabled="y"/><!-- c --><Group><LeakPrevention enabled="1"/></Group>)"
                                                  R"(<AssetManagement enabled="1"/><AssetManagement enabled="0"/>)"), "0 0 0 "},
        {"cut before a two-byte character", custom("<UninstallProtect enabled=\"1\">" + std::string(1054, 'x') + "\xC3\xA9</UninstallProtect>"),
         "0 0 1 " + std::string(1054, 'x')},
        {"FIFO", "<fifo>", "1" + kept},
        {"system file a FIFO", all, "1" + kept, "<fifo>"},
        {"no INSTALL_DIR", all, "1" + kept, "#INSTALL_DIR=.\nINSTALL_DIR=\n"},
        {"system file rules", all, "0" + kept, "# c\r\n\r\nINSTALL_DIR=/nowhere\r\n\t install_dir \t= . \r\n"},
        {"two roots", "<OrvexCustom/>text", "2" + kept},
        {"wrong root", "<orvexcustom/>", "3" + kept},
        {"enabled with blank", custom(R"(<LeakPrevention enabled=" 1"/>)"), "3" + kept},
        {"enabled missing", custom(R"(<AssetManagement/>)"), "3" + kept},
    };
    // clang-format on
    const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    int nErr = -1;
    const unsigned char* p = nullptr;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszCase);
        put(sys, "INSTALL_DIR=.\n");
        put(xml, all);
        ASSERT_TRUE(utimensat(AT_FDCWD, sys.c_str(), anHourAgo, 0) == 0 &&
                    utimensat(AT_FDCWD, xml.c_str(), anHourAgo, 0) == 0);
        // The second call finds the files verified.
        ASSERT_TRUE(utl_InitVerifyAndLoad(&nErr) && utl_InitVerifyAndLoad(&nErr));
        put(sys, c.strSys);
        put(xml, c.strXml);
        const bool bVerified = utl_InitVerifyAndLoad(&nErr) != 0;
        EXPECT_EQ(bVerified, nErr == 0);
        ASSERT_NE(utl_LoadComnCusInfo(&p), 0);
        uint64_t nSet = 0;
        memcpy(&nSet, p + kCusUninstallSetOffset, sizeof(nSet));
        EXPECT_EQ(std::to_string(nErr) + " " + std::to_string(p[kCusFlagOffset]) + " " +
                      std::to_string(nSet != 0) + " " +
                      reinterpret_cast<const char*>(p + kCusUninstallTextOffset),
                  c.want);
    }
    std::filesystem::remove_all(sys);
}
