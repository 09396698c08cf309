// Executing a linked plan: release at last use, donation and what blocks it,
// outputs, and release of every held value on each kind of failure.
#include "runtime/execution/evaluate.h"

#include <gtest/gtest.h>

#include <type_traits>

#include "tests/runtime/execution_fake_host.h"

namespace vorlix::testing {
namespace {

using execution::OutputMode;

struct Trial {
    Ledger ledger;
    FakeHost host{ledger};
    std::optional<FakePlan> plan;

    explicit Trial(Sketch s, std::map<std::string, Behaviour> behaviours = {}) {
        host.behaviours = std::move(behaviours);
        plan.emplace(take(FakePlan::link(shared(std::move(s)), host)));
        ledger.events.clear();
    }

    Expected<std::vector<Handle>, ExecutionError<std::string>> execute(std::vector<std::string> inputs,
                                                                       std::vector<std::string> constants = {}) {
        std::vector<Handle> in;
        for (auto& name : inputs) in.emplace_back(ledger, name);
        std::vector<Handle> cs;
        for (auto& name : constants) cs.emplace_back(ledger, name);
        return execution::execute(*plan, host, std::move(in), std::move(cs));
    }

    // Live handles outside the plan's evaluators.
    [[nodiscard]] int live_values() const {
        int total = 0;
        for (const auto& [name, count] : ledger.handles) {
            if (name.rfind("eval ", 0) != 0) total += count;
        }
        return total;
    }
};

std::vector<std::string> names(const std::vector<Handle>& values) {
    std::vector<std::string> out;
    for (const auto& v : values) out.push_back(v.name());
    return out;
}

Behaviour owned(std::vector<uint64_t> donations = {}) { return {OutputMode::owned(), std::move(donations)}; }

TEST(ExecutionTest, ChainReleasesEachValueAtItsLastUse) {
    Sketch s;
    s.node("vorlix.input");  // 0
    s.node("a", {0});        // 1
    s.node("b", {1});        // 2
    s.node("dead", {1});     // 3: nobody reads it
    s.node("c", {2});        // 4
    s.output(4);
    Trial run(std::move(s), {{"a", owned()}, {"b", owned()}, {"c", owned()}});
    auto out = take(run.execute({"x"}));
    EXPECT_EQ(names(out), (std::vector<std::string>{"c"}));
    EXPECT_EQ(run.ledger.events, (std::vector<std::string>{"call a(x)", "drop x", "call b(a)", "call dead(a)", "drop a",
                                                           "drop dead", "call c(b)", "drop b"}));
    out.clear();
    EXPECT_EQ(run.live_values(), 0);
}

TEST(ExecutionTest, DyingOwnedOperandIsHandedOver) {
    Sketch s;
    s.node("vorlix.input");  // 0
    s.node("a", {0});        // 1
    s.node("b", {1});        // 2 donates position 0
    s.node("c", {2});        // 3
    s.output(3);
    Trial run(std::move(s), {{"a", owned()}, {"b", owned({0})}, {"c", owned({0})}});
    auto out = take(run.execute({"x"}));
    // The donated value is held by the call alone, and is gone before the
    // evaluator's result is even validated.
    EXPECT_EQ(run.ledger.events, (std::vector<std::string>{"call a(x)", "drop x", "call b(<a>) holding 1", "drop a",
                                                           "call c(<b>) holding 1", "drop b"}));
}

TEST(ExecutionTest, InputsAreNeverDonated) {
    Sketch s;
    s.node("vorlix.input");
    s.node("a", {0});
    s.output(1);
    Trial run(std::move(s), {{"a", owned({0})}});
    auto out = take(run.execute({"x"}));
    EXPECT_EQ(run.ledger.events, (std::vector<std::string>{"call a(x)", "drop x"}));
}

struct BlockedCase {
    const char* what;
    std::vector<std::vector<NodeId>> nodes;  // parents of nodes 1..n (node 0 is the input)
    std::vector<NodeId> outputs;
    std::map<std::string, Behaviour> behaviours;
    std::string donating_call;
};

TEST(ExecutionTest, DonationNeedsTheLastSingleReadAndNoOtherLiveShare) {
    const BlockedCase cases[] = {
        {"read twice", {{0}, {1, 1}}, {2}, {{"n1", owned()}, {"n2", owned({0, 1})}}, "call n2(n1, n1)"},
        {"view still live",
         {{0}, {1}, {1}, {2, 3}},
         {4},
         {{"n1", owned()}, {"n2", {}}, {"n3", owned({0})}},
         "call n3(n1)"},
        {"alias still live",
         {{0}, {1}, {1}, {2, 3}},
         {4},
         {{"n1", owned()}, {"n2", {OutputMode::alias(0)}}, {"n3", owned({0})}},
         "call n3(n1)"},
        {"output read later", {{0}, {1}}, {1, 2}, {{"n1", owned()}, {"n2", owned({0})}}, "call n2(n1)"},
        {"not owned", {{0}, {1}}, {2}, {{"n1", {}}, {"n2", owned({0})}}, "call n2(n1)"},
        {"view read alongside",
         {{0}, {1}, {1, 2}},
         {3},
         {{"n1", owned()}, {"n2", {}}, {"n3", owned({1, 0})}},
         "call n3(n1, n2)"},
        {"view dropped at once",
         {{0}, {1}, {1}},
         {3},
         {{"n1", owned()}, {"n2", {}}, {"n3", owned({0})}},
         "call n3(<n1>) holding 1"},
    };
    for (const auto& c : cases) {
        Sketch s;
        s.node("vorlix.input");
        for (size_t k = 0; k < c.nodes.size(); ++k) s.node("n" + std::to_string(k + 1), c.nodes[k]);
        for (const NodeId o : c.outputs) s.output(o);
        Trial run(std::move(s), c.behaviours);
        auto out = run.execute({"x"});
        ASSERT_TRUE(out) << c.what;
        const auto& events = run.ledger.events;
        EXPECT_NE(std::find(events.begin(), events.end(), c.donating_call), events.end()) << c.what;
    }
}

TEST(ExecutionTest, OutputsAreMovedOnTheirLastCollection) {
    Sketch s;
    s.node("vorlix.input");  // 0
    s.node("a", {0});        // 1
    s.output(1);
    s.output(0);
    s.output(1);
    Trial run(std::move(s), {{"a", owned()}});
    auto out = take(run.execute({"x"}));
    EXPECT_EQ(names(out), (std::vector<std::string>{"a", "x", "a"}));
    EXPECT_EQ(run.ledger.handles["a"], 2);
    EXPECT_EQ(run.ledger.handles["x"], 1);
    EXPECT_EQ(run.ledger.events, (std::vector<std::string>{"call a(x)"}));
}

TEST(ExecutionTest, ConstantsPairWithConstantNodesInIdOrder) {
    Sketch s;
    s.node("vorlix.const");  // 0
    s.node("vorlix.input");  // 1
    s.node("vorlix.const");  // 2
    s.node("f", {2, 1, 0});
    s.output(3);
    Trial run(std::move(s));
    auto out = take(run.execute({"x"}, {"c0", "c2"}));
    EXPECT_EQ(run.ledger.events[0], "call f(c2, x, c0)");
}

TEST(ExecutionTest, CountMismatchesAreGraphErrors) {
    Sketch s;
    s.node("vorlix.input");
    s.node("vorlix.const");
    s.output(0);
    Trial run(std::move(s));
    auto inputs = run.execute({"x", "y"}, {"c"});
    ASSERT_FALSE(inputs);
    EXPECT_EQ(inputs.error().graph()->message, "staged graph expects 1 inputs but received 2");
    auto constants = run.execute({"x"}, {});
    ASSERT_FALSE(constants);
    EXPECT_EQ(constants.error().graph()->message, "staged graph expects 1 constants but received 0");
    // Only the constants' count is the caller's argument error.
    using Kind = std::remove_cvref_t<decltype(constants.error())>::Kind;
    EXPECT_EQ(inputs.error().graph()->kind, Kind::Failed);
    EXPECT_EQ(constants.error().graph()->kind, Kind::InvalidArgument);
    EXPECT_EQ(run.live_values(), 0);
}

// Fails at each node in turn, through the evaluator or through validation,
// with donated, shared and still-unread values around.
TEST(ExecutionTest, EveryFailureReleasesEverythingTheCallHeld) {
    auto sketch = [] {
        Sketch s;
        s.node("vorlix.input");  // 0
        s.node("vorlix.const");  // 1
        s.node("n2", {0, 1});    // 2
        s.node("n3", {2});       // 3 donates 2
        s.node("n4", {3, 1});    // 4
        s.node("n5", {4, 3});    // 5
        s.output(5);
        s.output(3);
        return s;
    };
    for (const std::string& failing : {"x", "c", "n2", "n3", "n4", "n5"}) {
        for (const bool in_evaluator : {true, false}) {
            if (in_evaluator && (failing == "x" || failing == "c")) continue;
            std::map<std::string, Behaviour> behaviours{
                {"n2", owned()}, {"n3", owned({0})}, {"n4", {}}, {"n5", owned({1})}};
            (in_evaluator ? behaviours[failing].fail : behaviours[failing].invalid_value) = true;
            Trial run(sketch(), behaviours);
            auto out = run.execute({"x"}, {"c"});
            ASSERT_FALSE(out) << failing;
            const auto* failure = out.error().host();
            ASSERT_NE(failure, nullptr) << failing;
            const std::string op = failing == "x" ? "vorlix.input" : failing == "c" ? "vorlix.const" : failing;
            EXPECT_EQ(failure->op_name, op);
            const NodeId node = failing == "x" ? 0 : failing == "c" ? 1 : static_cast<NodeId>(failing[1] - '0');
            EXPECT_EQ(failure->node, node);
            const std::string message = in_evaluator ? "evaluator " + failing + " failed" : "invalid value " + failing;
            EXPECT_EQ(failure->error, message);
            EXPECT_EQ(run.live_values(), 0) << failing << in_evaluator;
        }
    }
}

TEST(ExecutionTest, RepeatedExecutionsOfOnePlanKeepTheirOwnState) {
    Sketch s;
    s.node("vorlix.input");
    s.node("a", {0});
    s.node("b", {1});
    s.output(2);
    Trial run(std::move(s), {{"a", owned()}, {"b", owned({0})}});
    auto first = take(run.execute({"x"}));
    auto second = take(run.execute({"y"}));
    EXPECT_EQ(names(first), names(second));
    EXPECT_EQ(run.ledger.handles["b"], 2);
    first.clear();
    second.clear();
    EXPECT_EQ(run.live_values(), 0);
}

}  // namespace
}  // namespace vorlix::testing
