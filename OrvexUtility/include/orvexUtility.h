// Stand-in for the client's closed utility library: verifies the client's customization
// file, INSTALL_DIR + "/conf/OrvexCustom.xml" (INSTALL_DIR from the system file), and
// hands out the customization record built from it. Plain C calls; any thread may call.
#ifndef ORVEX_UTILITY_H
#define ORVEX_UTILITY_H

#include <stddef.h>

#define ORVEX_UTILITY_API __attribute__((visibility("default")))

// ---- The customization record ----

constexpr size_t kCusRecordSize = 2048;
constexpr size_t kCusFlagOffset = 8;  ///< One byte of kCusFlag* bits.
constexpr unsigned char kCusFlagAssetManagement = 0x04;
constexpr unsigned char kCusFlagLeakPrevention = 0x20;
constexpr size_t kCusUninstallSetOffset = 984;   ///< 8 bytes, non-zero when protection is on.
constexpr size_t kCusUninstallTextOffset = 992;  ///< NUL-terminated, to the record's end.

// ---- Error codes of utl_InitVerifyAndLoad ----

constexpr int kCusErrUnreadable = 1;  ///< No INSTALL_DIR, or the file is missing or unreadable.
constexpr int kCusErrNotXml = 2;      ///< Not well-formed XML.
constexpr int kCusErrContent = 3;     ///< Root not OrvexCustom, or enabled not "0" / "1".

extern "C" {

/// Reads both files afresh. Non-zero when the customization verified, and its record becomes
/// the one utl_LoadComnCusInfo hands out; 0 with *pnErr set to a kCusErr* code otherwise.
ORVEX_UTILITY_API int utl_InitVerifyAndLoad(int* pnErr);

/// Points *ppRecord at the record of the last successful verify (kCusRecordSize bytes,
/// owned by the library, rewritten by the next one); 0 and *ppRecord untouched when none.
ORVEX_UTILITY_API int utl_LoadComnCusInfo(const unsigned char** ppRecord);
}

#endif
