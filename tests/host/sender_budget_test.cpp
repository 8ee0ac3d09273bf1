// When the sender's budget keeper asks for a step and when it gives the work back.
#include "host/capture/sender_budget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using Verdict = SenderBudget::Verdict;

constexpr auto over = SenderBudget::budget + 1ms;
constexpr auto within = SenderBudget::budget - 1ms;

// Feeds `count` chunks of the same work; returns the verdicts that were not steady, with
// the chunk (from 1) each came on.
std::vector<std::pair<int, Verdict>> feed(SenderBudget& budget, std::chrono::nanoseconds work,
                                          int count, bool& shedding) {
    std::vector<std::pair<int, Verdict>> steps;
    for (int chunk = 1; chunk <= count; ++chunk) {
        const Verdict verdict = budget.note(work, shedding);
        if (verdict != Verdict::steady) {
            steps.emplace_back(chunk, verdict);
            shedding = verdict == Verdict::shed;
        }
    }
    return steps;
}

TEST(SenderBudgetTest, OnlyARunOfLateChunksAsksForAStep) {
    SenderBudget budget;
    bool shedding = false;
    for (int round = 0; round < 10; ++round) {
        EXPECT_TRUE(feed(budget, over, SenderBudget::overBudgetRun - 1, shedding).empty());
        EXPECT_TRUE(feed(budget, within, 1, shedding).empty());
    }
    const auto steps = feed(budget, over, SenderBudget::overBudgetRun, shedding);
    EXPECT_EQ(steps, (std::vector<std::pair<int, Verdict>>{
                         {SenderBudget::overBudgetRun, Verdict::shed}}));
}

TEST(SenderBudgetTest, WhileStillLateEachFurtherStepWaitsForTheLastToTell) {
    SenderBudget budget;
    bool shedding = false;
    const auto steps = feed(budget, over, 3 * SenderBudget::settleChunks, shedding);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].first, SenderBudget::overBudgetRun);
    EXPECT_EQ(steps[1].first - steps[0].first, SenderBudget::settleChunks);
    EXPECT_EQ(steps[2].first - steps[1].first, SenderBudget::settleChunks);
}

TEST(SenderBudgetTest, CalmGivesTheWorkBackAndEachNewRunOfSheddingWaitsTwiceAsLong) {
    SenderBudget budget;
    bool shedding = false;
    int calm = SenderBudget::firstCalmChunks;
    for (int episode = 0; episode < 6; ++episode) {
        ASSERT_EQ(feed(budget, over, SenderBudget::settleChunks, shedding).size(), 1u);
        ASSERT_TRUE(shedding);
        EXPECT_EQ(budget.calmNeeded(), calm);
        const auto steps = feed(budget, within, calm, shedding);
        EXPECT_EQ(steps, (std::vector<std::pair<int, Verdict>>{{calm, Verdict::restore}}))
            << "episode " << episode;
        calm = std::min(calm * 2, SenderBudget::longestCalmChunks);
    }
    // Without anything shed, calm gives nothing back.
    EXPECT_TRUE(feed(budget, within, 2 * SenderBudget::longestCalmChunks, shedding).empty());
}

TEST(SenderBudgetTest, ALateChunkStartsTheCalmAgain) {
    SenderBudget budget;
    bool shedding = false;
    ASSERT_EQ(feed(budget, over, SenderBudget::overBudgetRun, shedding).size(), 1u);
    EXPECT_TRUE(feed(budget, within, SenderBudget::firstCalmChunks - 1, shedding).empty());
    EXPECT_TRUE(feed(budget, over, 1, shedding).empty());
    const auto steps = feed(budget, within, SenderBudget::firstCalmChunks, shedding);
    EXPECT_EQ(steps, (std::vector<std::pair<int, Verdict>>{
                         {SenderBudget::firstCalmChunks, Verdict::restore}}));
}

}  // namespace
}  // namespace zoranth
