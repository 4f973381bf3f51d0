#include "orvexMon.h"

std::atomic<int> CProcessMng::m_nProcessExit{0};
std::atomic<bool> CProcessMng::m_bUninstall{false};
