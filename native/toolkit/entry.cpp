// The docstrings of entry points, written from their signatures.
#include "native/toolkit/entry.h"

namespace vorlix::py {

std::string signature_doc(const char* function, std::span<const char* const> names,
                          std::span<const char* const> defaults, int positional, Receiver receiver, const char* doc) {
    std::string text = function;
    text += '(';
    bool first = true;
    auto separate = [&] {
        if (!first) text += ", ";
        first = false;
    };
    if (receiver == Receiver::Self) {
        separate();
        text += "$self";
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (static_cast<int>(i) == positional) {
            separate();
            text += '*';
        }
        separate();
        text += names[i];
        if (i < defaults.size() && defaults[i] != nullptr) {
            text += '=';
            text += defaults[i];
        }
    }
    text += ")\n--\n\n";
    text += doc;
    return text;
}

}  // namespace vorlix::py
