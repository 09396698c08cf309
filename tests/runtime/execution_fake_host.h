// A host for plan linking and execution tests: named values whose handles are
// counted, and a ledger of calls, donations and drops in the order they happened.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/execution/evaluate.h"
#include "runtime/execution/plan.h"
#include "tests/runtime/graph_sketch.h"

namespace vorlix::testing {

struct Ledger {
    std::vector<std::string> events;
    std::map<std::string, int> handles;

    [[nodiscard]] int live_handles() const {
        int total = 0;
        for (const auto& [name, count] : handles) total += count;
        return total;
    }
};

// A move-only handle to a named value; the last handle of a name dropped
// writes "drop {name}" to the ledger.
class Handle {
public:
    Handle() = default;
    Handle(Ledger& ledger, std::string name) : ledger_(&ledger), name_(std::move(name)) { ++ledger.handles[name_]; }
    Handle(Handle&& other) noexcept : ledger_(std::exchange(other.ledger_, nullptr)), name_(std::move(other.name_)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            ledger_ = std::exchange(other.ledger_, nullptr);
            name_ = std::move(other.name_);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }

    explicit operator bool() const { return ledger_ != nullptr; }
    [[nodiscard]] const std::string& name() const { return name_; }
    void reset() {
        if (ledger_ == nullptr) return;
        if (--ledger_->handles[name_] == 0) ledger_->events.push_back("drop " + name_);
        ledger_ = nullptr;
    }

private:
    Ledger* ledger_ = nullptr;
    std::string name_;
};

// How the host treats one operation name (operations are named per node in
// these tests, so the value an evaluator produces carries its op's name).
struct Behaviour {
    execution::OutputMode output = execution::OutputMode::unspecified();
    std::vector<uint64_t> donations;
    bool refuse_link = false;
    bool fail = false;
    bool invalid_value = false;
};

class FakeHost {
public:
    using Value = Handle;
    using Evaluator = Handle;
    using Error = std::string;

    explicit FakeHost(Ledger& ledger) : ledger_(ledger) {}

    std::map<std::string, Behaviour> behaviours;

    Expected<execution::Declarations<Handle>, std::string> link(const NodeRef& node) {
        const std::string op = node.schema.name;
        ledger_.events.push_back("link " + op);
        const Behaviour& b = behaviours[op];
        if (b.refuse_link) return std::string("no evaluator for " + op);
        return execution::Declarations<Handle>{Handle(ledger_, "eval " + op), b.output, b.donations};
    }

    Status<std::string> evaluate(const Handle& evaluator, std::span<const Handle* const> operands,
                                 std::optional<uint32_t> donated_position, Handle donated, Handle& out) {
        const std::string op = evaluator.name().substr(5);
        std::string event = "call " + op + "(";
        for (size_t k = 0; k < operands.size(); ++k) {
            if (k > 0) event += ", ";
            event += donated_position && k == *donated_position ? "<" + donated.name() + ">" : operands[k]->name();
        }
        event += ")";
        if (donated) event += " holding " + std::to_string(ledger_.handles[donated.name()]);
        ledger_.events.push_back(event);
        if (behaviours[op].fail) return std::string("evaluator " + op + " failed");
        out = Handle(ledger_, op);
        return {};
    }

    Status<std::string> validate(const Handle& value, std::span<const ValueSpec> specs) {
        EXPECT_FALSE(specs.empty());
        if (behaviours[value.name()].invalid_value) return std::string("invalid value " + value.name());
        return {};
    }

    Handle share(const Handle& value) { return Handle(ledger_, value.name()); }
    bool sole_reference(const Handle& value) { return ledger_.handles[value.name()] == 1; }
    std::string node_error(std::string message) { return message; }

private:
    Ledger& ledger_;
};

using FakePlan = execution::LinkedExecutionPlan<Handle>;

inline std::shared_ptr<const GraphStore> shared(Sketch sketch) {
    return std::make_shared<const GraphStore>(std::move(sketch).store());
}

}  // namespace vorlix::testing
