#include "orvexMonRestartPolicy.h"

#include <gtest/gtest.h>

#include <optional>

using namespace std::chrono_literals;

TEST(RestartPolicyTest, DecidesFromPassKindLookupAndLastStart) {
    const RestartClock::time_point now{1h};
    const std::optional<RestartClock::time_point> never;
    const auto F = ProcLookup::kFound, N = ProcLookup::kNotFound, U = ProcLookup::kTableUnreadable;
    const auto Reg = PassKind::kRegular, Exit = PassKind::kExit, Follow = PassKind::kFollowUp;
    const auto Start = RestartAction::kStart, Watch = RestartAction::kWatch,
               Leave = RestartAction::kLeave;
    const struct {
        PassKind kind;
        ProcLookup lookup;
        std::optional<RestartClock::time_point> lastExitStart;
        RestartAction expected;
    } cases[] = {
        {Reg, F, never, Watch},         {Exit, F, now, Watch},      {Follow, F, never, Watch},
        {Reg, U, never, Leave},         {Exit, U, never, Leave},    {Reg, N, never, Start},
        {Reg, N, now, Start},           {Follow, N, never, Leave},  {Exit, N, never, Start},
        {Exit, N, now - 4999ms, Leave}, {Exit, N, now - 5s, Start}, {Exit, N, now - 1min, Start},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decideRestart(c.kind, c.lookup, c.lastExitStart, now), c.expected)
            << "kind " << static_cast<int>(c.kind) << " lookup " << static_cast<int>(c.lookup)
            << " last start "
            << (c.lastExitStart
                    ? std::chrono::duration_cast<std::chrono::milliseconds>(now - *c.lastExitStart)
                          .count()
                    : -1)
            << " ms ago";
    }
}
