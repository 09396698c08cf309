// Error values of the graph runtime and the result type that carries them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorlix {

// "%N", the one way a message names node N.
[[nodiscard]] std::string node_ref(uint64_t id);
// Appends "%N" to `out`.
void append_node_ref(std::string& out, uint64_t id);

// A failure of graph building, validation or structure. The node, when
// present, is the one the failure concerns; `rendered()` is the only place
// that appends it to the message.
struct GraphError {
    std::string message;
    std::optional<uint32_t> node;

    GraphError() = default;
    explicit GraphError(std::string msg) : message(std::move(msg)) {}
    GraphError(std::string msg, uint32_t node_id) : message(std::move(msg)), node(node_id) {}

    [[nodiscard]] std::string rendered() const;
    [[nodiscard]] std::string into_message() && { return node ? rendered() : std::move(message); }

    friend bool operator==(const GraphError&, const GraphError&) = default;
};

// Failure of plan binding or execution: either a graph error (rendered to its
// message) or an error of the host that ran an operation.
template <class E>
class ExecutionError {
public:
    // What a graph error says about the call: most report a plan or an
    // execution that cannot go on; an argument that cannot be right for the
    // plan (say, the wrong number of constants) is refused as invalid.
    enum class Kind : uint8_t { Failed, InvalidArgument };
    struct Graph {
        std::string message;
        Kind kind = Kind::Failed;
    };
    struct Host {
        std::string op_name;
        E error;
        uint32_t node;
    };

    ExecutionError(Graph g) : variant_(std::move(g)) {}
    ExecutionError(Host h) : variant_(std::move(h)) {}
    ExecutionError(GraphError e) : variant_(Graph{std::move(e).into_message()}) {}

    [[nodiscard]] bool is_graph() const { return std::holds_alternative<Graph>(variant_); }
    [[nodiscard]] const Graph* graph() const { return std::get_if<Graph>(&variant_); }
    [[nodiscard]] Host* host() { return std::get_if<Host>(&variant_); }
    [[nodiscard]] const Host* host() const { return std::get_if<Host>(&variant_); }

private:
    std::variant<Graph, Host> variant_;
};

// A value or an error, in the manner of std::expected (not yet in the
// standard library this project builds with).
template <class T, class E = GraphError>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

// Success without a value, or an error.
template <class E = GraphError>
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(E error) : error_(std::move(error)) {}

    static Status ok() { return Status(); }
    [[nodiscard]] bool has_value() const { return !error_.has_value(); }
    explicit operator bool() const { return has_value(); }
    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace vorlix
