#include "orvexMonRestartPolicy.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(RestartPolicyTest, DecidesFromPassKindLookupAndLastStart) {
    const auto F = ProcLookup::kFound, N = ProcLookup::kNotFound, U = ProcLookup::kTableUnreadable;
    const auto Reg = PassKind::kRegular, Ex = PassKind::kExit, Fol = PassKind::kFollowUp;
    const auto S = RestartAction::kStart, W = RestartAction::kWatch, L = RestartAction::kLeave;
    // The pass, the lookup, the last start by an exit pass (ms ago, -1: never), the action.
    // clang-format off
    const std::tuple<PassKind, ProcLookup, std::chrono::milliseconds, RestartAction> cases[] = {
        {Reg, F, -1ms, W}, {Ex, F, 0ms, W}, {Ex, U, -1ms, L}, {Reg, N, -1ms, S}, {Reg, N, 0ms, S},
        {Fol, N, -1ms, L}, {Ex, N, -1ms, S}, {Ex, N, 4999ms, L}, {Ex, N, 5000ms, S}};
    // clang-format on
    const RestartClock::time_point now{1h};
    for (const auto& [kind, lookup, ago, expected] : cases) {
        const auto last = ago < 0ms ? std::nullopt : std::optional(now - ago);
        EXPECT_EQ(decideRestart(kind, lookup, last, now), expected)
            << int(kind) << " " << int(lookup) << " " << ago.count() << " ms ago";
    }
}
