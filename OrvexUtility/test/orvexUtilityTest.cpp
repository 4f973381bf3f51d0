#include "orvexUtility.h"
#include "testSupport.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>

// The customization changes row by row, INSTALL_DIR being the working directory; the first
// row finds the files verified and rested, so only a check of their stamps tells the change,
// and the last is a FIFO without a writer. want: whether it verified, the error code, the
// record's flag byte, whether uninstall protection is set and its text; a failed verify keeps
// the last record.
TEST(OrvexUtilityTest, VerifyAndRecord) {
    EXPECT_TRUE(dlsym(RTLD_DEFAULT, "utl_InitVerifyAndLoad") &&
                dlsym(RTLD_DEFAULT, "utl_LoadComnCusInfo"));  // the C names
    // The system file is at the path this build compiled in: never a real installation's.
    const std::string sys = ORVEXUTILITY_TEST_SYSTEM_CONF, xml = "conf/OrvexCustom.xml";
    if (sys.rfind(ORVEXUTILITY_TEST_BUILD_DIR "/", 0) != 0)
        GTEST_SKIP() << "the system file " << sys << " is outside the build tree";
    const testsupport::TempDir dir;
    std::filesystem::current_path(dir.path());
    testsupport::linesOf("mkdir -p conf \"$(dirname '" + sys + "')\"");
    const auto custom = [](const std::string& s) { return "<OrvexCustom>" + s + "</OrvexCustom>"; };
    const std::string protect = R"(<UninstallProtect enabled="1">any text</UninstallProtect>)";
    testsupport::writeFile(sys, "# c\r\n\r\nINSTALL_DIR=/nowhere\r\n\t install_dir \t= . \r\n");
    testsupport::writeFile(xml, custom(R"(<AssetManagement enabled="1"/>)" + protect));
    testsupport::linesOf("touch -d '1 hour ago' '" + sys + "' " + xml);
    int nErr = -1;
    ASSERT_TRUE(utl_InitVerifyAndLoad(&nErr) && utl_InitVerifyAndLoad(&nErr));  // cached again
    // clang-format off
    const struct { std::string strXml, want; } cases[] = {
        {custom(R"(<LeakPrevention enabled="1" />)" + protect), "ok 0 32 1 any text"},  // same size, changed at once
        {"<OrvexCustom/>text", "no 2 32 1 any text"},  // two roots
        {"<orvexcustom/>", "no 3 32 1 any text"},  // wrong root
        {custom(R"(<AssetManagement enabled=" 1"/>)"), "no 3 32 1 any text"},  // enabled with a blank
        {custom("<UninstallProtect enabled=\"1\">" + std::string(1054, 'x') + "\xC3\xA9</UninstallProtect>"),
         "ok 0 0 1 " + std::string(1054, 'x')},  // cut before a two-byte character
        {custom(R"(<AssetManagement enabled="1"/><LeakPrevention enabled="1"/><UninstallProtect enabled="1"/>)"), "ok 0 36 1 "},
        {"<fifo>", "no 1 36 1 "},
    };
    // clang-format on
    for (const auto& c : cases) {
        if (c.strXml == "<fifo>")
            ASSERT_TRUE(std::filesystem::remove(xml) && mkfifo(xml.c_str(), 0644) == 0);
        else
            testsupport::writeFile(xml, c.strXml);
        const std::string verified = utl_InitVerifyAndLoad(&nErr) ? "ok " : "no ";
        const unsigned char* p = nullptr;
        ASSERT_NE(utl_LoadComnCusInfo(&p), 0);
        EXPECT_EQ(verified + std::to_string(nErr) + " " + std::to_string(p[kCusFlagOffset]) + " " +
                      std::to_string(memcmp(p + kCusUninstallSetOffset, "\0\0\0\0\0\0\0", 8) != 0) +
                      " " + reinterpret_cast<const char*>(p + kCusUninstallTextOffset),
                  c.want);
    }
    std::filesystem::remove_all(sys);
}
