// Attribute conversion between Python objects and AttrValue trees, walked
// with explicit stacks in both directions.
#include "native/staged/conversion/attr.h"

#include <bit>
#include <string>
#include <utility>
#include <vector>

#include "native/staged/conversion/type_name.h"
#include "native/toolkit/errors.h"
#include "native/toolkit/no_python.h"
#include "native/toolkit/values.h"
#include "runtime/hash.h"
#include "runtime/quote.h"

namespace vorlix::staged {

using py::ErrorKind;
using py::Ref;

bool ActiveContainers::enter(PyObject* container) {
    if (!set_) set_.emplace(0, IdentityHash{fresh_hash_keys()});
    return set_->insert(container).second;
}

void ActiveContainers::leave(PyObject* container) {
    if (set_) set_->erase(container);
}

size_t ActiveContainers::IdentityHash::operator()(const PyObject* p) const noexcept {
    return static_cast<size_t>(hash_mix(reinterpret_cast<uintptr_t>(p) ^ keys[0], keys[1]));
}

// Note [Attribute paths]
// Paths are needed only in messages, so none is built while converting:
// each open container remembers which child it is converting, and a failure
// renders the path from the root text and those positions.
struct AttrConverter::Frame {
    Ref container;                    // the dict, list or tuple being converted
    AttrKind kind;                    // Map, List or Tuple
    bool entered;                     // in the active set (every container but a top-level dict)
    Py_ssize_t next = 0;              // next index, or the dict iteration position
    Py_ssize_t child_index = -1;      // the sequence child being converted
    Ref child_key;                    // the map child being converted
    std::string_view child_key_text;  // its UTF-8 text, owned by `child_key`
};

AttrConverter::AttrConverter() = default;
AttrConverter::~AttrConverter() = default;

namespace {

using Frame = AttrConverter::Frame;

// One conversion: the frames of the containers being converted, each
// writing its values into the draft as it meets them.
class FromPython {
public:
    FromPython(std::string_view root, ActiveContainers& active, std::vector<Frame>& stack, AttrDraft& draft)
        : root_(root), active_(active), stack_(stack), draft_(draft) {}

    ~FromPython() {
        // A failed conversion leaves the set as it found it.
        for (Frame& frame : stack_) {
            if (frame.entered) active_.leave(frame.container.get());
        }
        stack_.clear();
    }

    bool map(PyObject* dict) {
        draft_.clear();
        stack_.push_back(Frame{Ref::new_ref(dict), AttrKind::Map, false});
        return run();
    }

private:
    enum class Step { Scalar, Pushed, Failed };

    // Writes a scalar into the draft, or opens a frame for a container.
    Step convert(PyObject* obj) {
        PyTypeObject* type = Py_TYPE(obj);
        if (obj == Py_None) {
            draft_.null();
            return Step::Scalar;
        }
        if (type == &PyBool_Type) {
            draft_.boolean(obj == Py_True);
            return Step::Scalar;
        }
        if (type == &PyLong_Type) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
            if (overflow != 0) {
                py::raise(ErrorKind::Overflow,
                          "graph attribute integer at " + child_path() + " must fit in a signed 64-bit value");
                return Step::Failed;
            }
            if (v == -1 && PyErr_Occurred()) return Step::Failed;
            draft_.integer(v);
            return Step::Scalar;
        }
        if (type == &PyFloat_Type) {
            draft_.float_bits(std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(obj)));
            return Step::Scalar;
        }
        if (type == &PyUnicode_Type) {
            std::optional<std::string_view> text = py::utf8_of(obj);
            if (!text) return Step::Failed;
            draft_.string(*text);
            return Step::Scalar;
        }
        if (type == &PyBytes_Type) {
            const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
            draft_.bytes(std::span<const uint8_t>(data, static_cast<size_t>(PyBytes_GET_SIZE(obj))));
            return Step::Scalar;
        }
        AttrKind kind;
        if (type == &PyDict_Type) {
            kind = AttrKind::Map;
        } else if (type == &PyList_Type) {
            kind = AttrKind::List;
        } else if (type == &PyTuple_Type) {
            kind = AttrKind::Tuple;
        } else {
            std::optional<std::string> qualname = qualified_type_name(obj);
            if (!qualname) return Step::Failed;
            py::raise(ErrorKind::Type, "unsupported graph attribute value at " + child_path() + ": " + *qualname +
                                           "; expected None, bool, int64, float, str, bytes, list/tuple, or a "
                                           "string-keyed dict");
            return Step::Failed;
        }
        if (!active_.enter(obj)) {
            py::raise(ErrorKind::Type, "recursive graph attribute container at " + child_path() + " is not supported");
            return Step::Failed;
        }
        draft_.open(kind);
        stack_.push_back(Frame{Ref::new_ref(obj), kind, true});
        return Step::Pushed;
    }

    // Converts children until the outermost frame closes.
    bool run() {
        while (true) {
            Frame& top = stack_.back();
            PyObject* child = nullptr;
            Ref held;
            if (top.kind == AttrKind::Map) {
                PyObject* key = nullptr;
                PyObject* value = nullptr;
                if (PyDict_Next(top.container.get(), &top.next, &key, &value)) {
                    if (!Py_IS_TYPE(key, &PyUnicode_Type)) return key_error(key);
                    top.child_key = Ref::new_ref(key);
                    std::optional<std::string_view> key_text = py::utf8_of(key);
                    if (!key_text) return false;
                    top.child_key_text = *key_text;
                    draft_.key(top.child_key_text);
                    held = Ref::new_ref(value);
                    child = value;
                }
            } else {
                PyObject* seq = top.container.get();
                const Py_ssize_t size = top.kind == AttrKind::List ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
                if (top.next < size) {
                    child =
                        top.kind == AttrKind::List ? PyList_GET_ITEM(seq, top.next) : PyTuple_GET_ITEM(seq, top.next);
                    held = Ref::new_ref(child);
                    top.child_index = top.next++;
                }
            }
            if (child == nullptr) {
                if (close_top()) return true;
                continue;
            }
            if (convert(child) == Step::Failed) return false;
        }
    }

    // Pops the finished top frame; true when it was the outermost.
    bool close_top() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        if (frame.entered) {
            active_.leave(frame.container.get());
            draft_.close();
        }
        return stack_.empty();
    }

    [[gnu::cold]] bool key_error(PyObject* key) {
        std::string qualname = qualified_type_name(key).value_or("");
        if (PyErr_Occurred()) {
            if (!discard_ordinary_error()) return false;
            qualname = "<unknown>";
        }
        py::raise(ErrorKind::Type,
                  "graph attribute mapping at " + path(stack_.size() - 1) + " requires string keys; got " + qualname);
        return false;
    }

    // The path of the container at depth `depth` (0 is the outermost).
    [[gnu::cold]] std::string path(size_t depth) const {
        std::string out(root_);
        for (size_t k = 0; k < depth; ++k) {
            const Frame& frame = stack_[k];
            out += '[';
            if (frame.kind == AttrKind::Map) {
                quote::append_path_key(out, frame.child_key_text);
            } else {
                out += std::to_string(frame.child_index);
            }
            out += ']';
        }
        return out;
    }
    // The path of the value being converted.
    [[gnu::cold]] std::string child_path() const { return path(stack_.size()); }

    std::string_view root_;
    ActiveContainers& active_;
    std::vector<Frame>& stack_;
    AttrDraft& draft_;
};

struct ToFrame {
    AttrKind kind;
    std::vector<Ref> keys;  // maps only, parallel to `items`
    std::vector<Ref> items;
};

// Builds each container only once all its children exist, so no Python
// object is ever seen half-filled. A failure stops all further work; the
// frames release what was built.
class ToPython {
public:
    void key(std::string_view text) {
        if (failed_) return;
        Ref key = py::str_from_utf8(text);
        if (!key) {
            failed_ = true;
            return;
        }
        stack_.back().keys.push_back(std::move(key));
    }

    template <class Value>
    void value(const Value& v) {
        if (failed_) return;
        Ref out;
        switch (v.kind()) {
            case AttrKind::Null: out = Ref::none(); break;
            case AttrKind::Bool: out = Ref::new_ref(v.as_bool() ? Py_True : Py_False); break;
            case AttrKind::Integer: out = Ref::steal(PyLong_FromLongLong(v.as_integer())); break;
            case AttrKind::Float: out = Ref::steal(PyFloat_FromDouble(v.as_float())); break;
            case AttrKind::String: out = py::str_from_utf8(v.as_string()); break;
            case AttrKind::Bytes: {
                const auto& b = v.as_bytes();
                out = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                                           static_cast<Py_ssize_t>(b.size())));
                break;
            }
            case AttrKind::List:
            case AttrKind::Tuple:
            case AttrKind::Map: {
                ToFrame& frame = stack_.emplace_back(ToFrame{v.kind(), {}, {}});
                const size_t n = v.container_size();
                frame.items.reserve(n);
                if (v.kind() == AttrKind::Map) frame.keys.reserve(n);
                return;
            }
        }
        deliver(std::move(out));
    }

    template <class Value>
    void leave(const Value&) {
        if (failed_) return;
        ToFrame frame = std::move(stack_.back());
        stack_.pop_back();
        deliver(build(frame));
    }

    // Starts a top-level map whose entries the walk will deliver.
    void open_root_map(size_t size) {
        ToFrame& frame = stack_.emplace_back(ToFrame{AttrKind::Map, {}, {}});
        frame.items.reserve(size);
        frame.keys.reserve(size);
    }
    Ref close_root_map() {
        if (failed_) return nullptr;
        ToFrame frame = std::move(stack_.back());
        stack_.pop_back();
        return build(frame);
    }

    Ref result() { return failed_ ? nullptr : std::move(result_); }

private:
    void deliver(Ref out) {
        if (!out) {
            failed_ = true;
            return;
        }
        if (stack_.empty()) {
            result_ = std::move(out);
        } else {
            stack_.back().items.push_back(std::move(out));
        }
    }

    static Ref build(ToFrame& frame) {
        const auto n = static_cast<Py_ssize_t>(frame.items.size());
        if (frame.kind == AttrKind::Map) {
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return nullptr;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (PyDict_SetItem(dict.get(), frame.keys[i].get(), frame.items[i].get()) < 0) return nullptr;
            }
            return dict;
        }
        const bool list = frame.kind == AttrKind::List;
        Ref seq = Ref::steal(list ? PyList_New(n) : PyTuple_New(n));
        if (!seq) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = frame.items[i].release();
            if (list) {
                PyList_SET_ITEM(seq.get(), i, item);
            } else {
                PyTuple_SET_ITEM(seq.get(), i, item);
            }
        }
        return seq;
    }

    std::vector<ToFrame> stack_;
    Ref result_;
    bool failed_ = false;
};

}  // namespace

namespace {

// Note [Flat attribute maps]
// Nearly every node's attributes are a dict of ASCII str keys to scalars.
// Such a dict is written into the draft in one pass, with the very calls
// the general conversion makes for it, so the draft is the same bytes.
// Nothing in the pass runs Python code or can fail, so the dict cannot
// change under it and no reference is taken; anything else (a container,
// a non-ASCII text, an int beyond one digit, another type) gives up, and
// the general conversion starts again from the beginning, raising what it
// raises.
[[nodiscard]] bool flat_map_from_python(PyObject* dict, AttrDraft& draft) {
    py::NoPythonScope no_python("a flat attribute map written into a draft");
    draft.clear();
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!Py_IS_TYPE(key, &PyUnicode_Type)) return false;
        const std::optional<std::string_view> key_text = py::ascii_of(key);
        if (!key_text) return false;
        PyTypeObject* const type = Py_TYPE(value);
        if (value == Py_None) {
            draft.key(*key_text);
            draft.null();
        } else if (type == &PyBool_Type) {
            draft.key(*key_text);
            draft.boolean(value == Py_True);
        } else if (type == &PyLong_Type) {
            auto* number = reinterpret_cast<PyLongObject*>(value);
            if (!PyUnstable_Long_IsCompact(number)) return false;
            draft.key(*key_text);
            draft.integer(PyUnstable_Long_CompactValue(number));
        } else if (type == &PyFloat_Type) {
            draft.key(*key_text);
            draft.float_bits(std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(value)));
        } else if (type == &PyUnicode_Type) {
            const std::optional<std::string_view> text = py::ascii_of(value);
            if (!text) return false;
            draft.key(*key_text);
            draft.string(*text);
        } else if (type == &PyBytes_Type) {
            const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value));
            draft.key(*key_text);
            draft.bytes(std::span<const uint8_t>(data, static_cast<size_t>(PyBytes_GET_SIZE(value))));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool AttrConverter::map_from_python(PyObject* dict, std::string_view path, ActiveContainers& active) {
    // See Note [Flat attribute maps].
    if (flat_map_from_python(dict, draft_)) return true;
    return FromPython(path, active, frames_, draft_).map(dict);
}

namespace {

template <class Map>
Ref map_to_python(const Map& map) {
    ToPython builder;
    builder.open_root_map(map.size());
    attr::walk_entries(map, builder);
    return builder.close_root_map();
}

}  // namespace

Ref attr_map_to_python(const AttrMap& map) { return map_to_python(map); }
Ref attr_map_to_python(const AttrMapView& map) { return map_to_python(map); }

}  // namespace vorlix::staged
