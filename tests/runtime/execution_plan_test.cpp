// Linking a store into an execution plan: steps, use counts, alias roots,
// position checks and the release of evaluators when linking fails.
#include "runtime/execution/plan.h"

#include <gtest/gtest.h>

#include "tests/runtime/execution_fake_host.h"

namespace vorlix::testing {
namespace {

using execution::ConstantStep;
using execution::InputStep;
using execution::LinkedOperation;
using execution::OutputKind;
using execution::OutputMode;

std::vector<NodeId> roots(const FakePlan& plan, NodeId id) {
    const auto found = plan.alias_roots().of(id);
    EXPECT_TRUE(found.has_value());
    return found ? std::vector<NodeId>(found->begin(), found->end()) : std::vector<NodeId>{};
}

const LinkedOperation<Handle>& operation(const FakePlan& plan, NodeId id) {
    return std::get<LinkedOperation<Handle>>(plan.steps()[id]);
}

TEST(ExecutionPlanTest, InputsAndConstantsNeedNoBinder) {
    Sketch s;
    s.node("vorlix.input");
    s.node("vorlix.const");
    s.node("vorlix.input");
    s.node("vorlix.const");
    s.output(3);
    Ledger ledger;
    FakeHost host(ledger);
    auto plan = take(FakePlan::link(shared(std::move(s)), host));
    EXPECT_TRUE(ledger.events.empty());
    ASSERT_EQ(plan.steps().size(), 4u);
    EXPECT_TRUE(std::holds_alternative<InputStep>(plan.steps()[0]));
    EXPECT_TRUE(std::holds_alternative<InputStep>(plan.steps()[2]));
    EXPECT_EQ(std::get<ConstantStep>(plan.steps()[1]).ordinal, 0u);
    EXPECT_EQ(std::get<ConstantStep>(plan.steps()[3]).ordinal, 1u);
    EXPECT_EQ(plan.constant_count(), 2u);
    EXPECT_EQ(std::vector<uint64_t>(plan.use_counts().begin(), plan.use_counts().end()),
              (std::vector<uint64_t>{0, 0, 0, 1}));
    for (NodeId id = 0; id < 4; ++id) EXPECT_TRUE(roots(plan, id).empty());
}

TEST(ExecutionPlanTest, UseCountsCountEveryReadAndEveryOutputEntry) {
    Sketch s;
    s.node("vorlix.input");    // 0
    s.node("square", {0, 0});  // 1
    s.node("add", {1, 0});     // 2
    s.output(2);
    s.output(2);
    s.output(0);
    Ledger ledger;
    FakeHost host(ledger);
    auto plan = take(FakePlan::link(shared(std::move(s)), host));
    EXPECT_EQ(std::vector<uint64_t>(plan.use_counts().begin(), plan.use_counts().end()),
              (std::vector<uint64_t>{4, 1, 2}));
    EXPECT_EQ(ledger.events, (std::vector<std::string>{"link square", "link add"}));
}

TEST(ExecutionPlanTest, OutputModesGiveAliasRoots) {
    Sketch s;
    s.node("vorlix.input");   // 0
    s.node("own1", {0});      // 1
    s.node("vorlix.const");   // 2
    s.node("own3", {2});      // 3
    s.node("mix4", {0, 1});   // 4: input and Owned 1 -> [1]
    s.node("mix5", {3, 1});   // 5: Owned 3 and 1 -> [1, 3]
    s.node("view6", {0, 5});  // 6: Alias(1) -> roots of 5
    s.node("view7", {4, 0});  // 7: Alias(1) over the input -> []
    s.node("none8", {0, 2});  // 8: no roots below
    Ledger ledger;
    FakeHost host(ledger);
    host.behaviours["own1"].output = OutputMode::owned();
    host.behaviours["own3"].output = OutputMode::owned();
    host.behaviours["view6"].output = OutputMode::alias(1);
    host.behaviours["view7"].output = OutputMode::alias(1);
    auto plan = take(FakePlan::link(shared(std::move(s)), host));
    const std::vector<std::vector<NodeId>> expected{{}, {1}, {}, {3}, {1}, {1, 3}, {1, 3}, {}, {}};
    for (NodeId id = 0; id < expected.size(); ++id) EXPECT_EQ(roots(plan, id), expected[id]) << id;
    EXPECT_EQ(operation(plan, 6).output, OutputMode::alias(1));
    EXPECT_EQ(operation(plan, 1).output.kind, OutputKind::Owned);
    EXPECT_EQ(operation(plan, 8).output.kind, OutputKind::Unspecified);
    EXPECT_EQ(operation(plan, 6).evaluator.name(), "eval view6");
}

TEST(ExecutionPlanTest, DonationCandidatesNeedOneEqualSpecification) {
    Sketch s;
    s.node("vorlix.input");                              // 0: (2, 3) float32
    s.node("vorlix.input", {}, Spec{{3}, "float32"});    // 1
    s.node("vorlix.input", {}, Spec{{2, 3}, "float"});   // 2: float, not float64
    s.node("f", {0, 1, 2, 0}, Spec{{2, 3}, "float32"});  // 3
    s.node("g", {3, 1});                                 // 4
    Ledger ledger;
    FakeHost host(ledger);
    host.behaviours["f"].donations = {1, 3, 2, 0, 3};
    host.behaviours["g"].donations = {0, 1};
    auto plan = take(FakePlan::link(shared(std::move(s)), host));
    const auto positions = plan.donation_positions(operation(plan, 3));
    const auto candidates = plan.donation_candidates(operation(plan, 3));
    EXPECT_EQ(std::vector<uint32_t>(positions.begin(), positions.end()), (std::vector<uint32_t>{1, 3, 2, 0, 3}));
    EXPECT_EQ(std::vector<uint32_t>(candidates.begin(), candidates.end()), (std::vector<uint32_t>{3, 0, 3}));
    const auto later = plan.donation_positions(operation(plan, 4));
    const auto later_candidates = plan.donation_candidates(operation(plan, 4));
    EXPECT_EQ(std::vector<uint32_t>(later.begin(), later.end()), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(std::vector<uint32_t>(later_candidates.begin(), later_candidates.end()), (std::vector<uint32_t>{0}));
}

struct PositionCase {
    std::vector<uint64_t> donations;
    OutputMode output;
    std::string message;
};

TEST(ExecutionPlanTest, PositionsBeyondTheOperandsArePlanErrors) {
    const PositionCase cases[] = {
        {{0, 2}, OutputMode::unspecified(), "linked operation 'f' at node %2 declares an invalid donation position"},
        {{}, OutputMode::alias(2), "linked operation 'f' at node %2 declares an invalid alias position"},
        {{7}, OutputMode::alias(5), "linked operation 'f' at node %2 declares an invalid donation position"},
        {{1},
         OutputMode::alias(uint64_t{1} << 40),
         "linked operation 'f' at node %2 declares an invalid alias position"},
    };
    for (const auto& c : cases) {
        Sketch s;
        s.node("vorlix.input");
        s.node("g", {0});
        s.node("f", {0, 1});
        s.node("h", {2});
        Ledger ledger;
        {
            FakeHost host(ledger);
            host.behaviours["f"].donations = c.donations;
            host.behaviours["f"].output = c.output;
            auto plan = FakePlan::link(shared(std::move(s)), host);
            ASSERT_FALSE(plan);
            ASSERT_TRUE(plan.error().is_graph());
            EXPECT_EQ(plan.error().graph()->message, c.message);
        }
        // Linking stopped at the failing node, and every evaluator obtained
        // was dropped with the refused plan.
        EXPECT_EQ(ledger.events, (std::vector<std::string>{"link g", "link f", "drop eval f", "drop eval g"}));
        EXPECT_EQ(ledger.live_handles(), 0);
    }
}

TEST(ExecutionPlanTest, HostFailureNamesTheOperationAndNode) {
    Sketch s;
    s.node("vorlix.input");
    s.node("g", {0});
    s.node("f", {1});
    s.node("h", {2});
    Ledger ledger;
    FakeHost host(ledger);
    host.behaviours["f"].refuse_link = true;
    auto plan = FakePlan::link(shared(std::move(s)), host);
    ASSERT_FALSE(plan);
    const auto* failure = plan.error().host();
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->op_name, "f");
    EXPECT_EQ(failure->node, 2u);
    EXPECT_EQ(failure->error, "no evaluator for f");
    EXPECT_EQ(ledger.events, (std::vector<std::string>{"link g", "link f", "drop eval g"}));
}

}  // namespace
}  // namespace vorlix::testing
