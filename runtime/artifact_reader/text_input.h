// The input stream of the strict artifact reader: the text read in place,
// with positions kept exact.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "runtime/artifact_wire.h"

namespace vorlix::artifact::reader {

// Note [Reading strings in place]
// The parser runs in its in-situ mode, where it writes each decoded string
// back over the text through the stream. This stream never writes: a string
// without escapes is handed out as a view of the text itself, and the first
// escape moves the string decoded so far into a side buffer that collects
// the rest. So no string, the megabytes of a constant's hex digits least of
// all, is copied on its way to the handler. Puts that copy a byte as it
// stands (exactly one byte taken since the last put) also carry the plain
// run behind it along in one step, which is the parser's own per-byte loop
// done in bulk. Reads past the end yield NUL, which the parser takes for the
// end of the input, and `Tell()` is always the number of bytes consumed.
class TextInput {
public:
    using Ch = char;

    explicit TextInput(std::string_view text)
        : begin_(text.data()), src_(text.data()), end_(text.data() + text.size()) {}
    TextInput(const TextInput&) = delete;
    TextInput& operator=(const TextInput&) = delete;

    [[nodiscard]] Ch Peek() const { return src_ != end_ ? *src_ : '\0'; }
    Ch Take() { return src_ != end_ ? *src_++ : '\0'; }
    [[nodiscard]] size_t Tell() const { return static_cast<size_t>(src_ - begin_); }

    Ch* PutBegin() {
        head_ = src_;
        put_src_ = src_;
        escaped_ = false;
        non_ascii_ = false;
        side_.clear();
        // Never written through; see Note [Reading strings in place].
        return const_cast<Ch*>(src_);
    }
    void Put(Ch c) {
        if (src_ == put_src_ + 1) {
            // One byte taken since the last put: either the closing quote
            // (the parser then puts the terminating NUL, the only NUL that can
            // follow a single take) or a byte copied as it stands.
            if (c == '\0') {
                if (escaped_) side_.push_back('\0');
                put_src_ = src_;
                return;
            }
            non_ascii_ |= static_cast<unsigned char>(c) >= 0x80;
            const char* const run_end = wire::scan_plain(src_, end_, non_ascii_);
            if (escaped_) side_.append(src_ - 1, run_end);
            src_ = put_src_ = run_end;
            return;
        }
        if (!escaped_) {
            escaped_ = true;
            side_.assign(head_, put_src_);
        }
        side_.push_back(c);
        put_src_ = src_;
    }
    size_t PutEnd(Ch*) { return escaped_ ? side_.size() : static_cast<size_t>(put_src_ - head_); }
    void Flush() {}

    // The decoded string the parser has just reported.
    [[nodiscard]] std::string_view string(size_t length) const {
        return escaped_ ? std::string_view(side_.data(), length) : std::string_view(head_, length);
    }
    // Whether that string may hold anything but ASCII (escapes may decode to
    // any code point, a lone surrogate included).
    [[nodiscard]] bool string_may_be_ill_formed() const { return escaped_ || non_ascii_; }
    [[nodiscard]] bool string_escaped() const { return escaped_; }
    // Offset of the string's first byte in the text.
    [[nodiscard]] size_t string_offset() const { return static_cast<size_t>(head_ - begin_); }
    // The number the parser has just reported; it ends where reading stands.
    [[nodiscard]] std::string_view number(size_t length) const { return {src_ - length, length}; }
    [[nodiscard]] std::string_view text() const { return {begin_, static_cast<size_t>(end_ - begin_)}; }

private:
    const char* begin_;
    const char* src_;
    const char* end_;
    const char* head_ = nullptr;
    const char* put_src_ = nullptr;
    bool escaped_ = false;
    bool non_ascii_ = false;
    std::string side_;
};

}  // namespace vorlix::artifact::reader
