// The artifact reader's messages.
#include "runtime/artifact_reader/messages.h"

#include "runtime/artifact_reader/rapidjson.h"

#include <rapidjson/error/error.h>

#include <algorithm>

#include "runtime/attr.h"

namespace vorlix::artifact::reader {

namespace {

bool is_integer_text(std::string_view number) { return number.find_first_of(".eE") == std::string_view::npos; }

[[gnu::cold, gnu::noinline]] std::string describe(const Unexpected& u) {
    switch (u.type) {
        case Unexpected::Type::Null: return "null";
        case Unexpected::Type::Bool: return u.boolean ? "boolean true" : "boolean false";
        case Unexpected::Type::Number: return (is_integer_text(u.text) ? "integer " : "number ") + std::string(u.text);
        case Unexpected::Type::String: return "string " + quote::literal(u.text);
        case Unexpected::Type::Array: return "array";
        case Unexpected::Type::Object: return "object";
    }
    return "value";
}

}  // namespace

std::string invalid_type(const Unexpected& u, std::string_view expected) {
    return "invalid type: " + describe(u) + ", expected " + std::string(expected);
}

std::string invalid_integer(std::string_view number, std::string_view expected) {
    return "invalid value: integer " + std::string(number) + ", expected " + std::string(expected);
}

std::string field_message(std::string_view what, std::string_view name) {
    return std::string(what) + " field `" + std::string(name) + "`";
}

std::string unknown_attr_kind(std::string_view kind) {
    std::string message = "unknown attribute kind ";
    quote::append_literal(message, kind);
    message += ", expected one of ";
    for (size_t i = 0; i < attr::kKindCount; ++i) {
        if (i != 0) message += ", ";
        message += '`';
        message += attr::kind_name(static_cast<AttrKind>(i));
        message += '`';
    }
    return message;
}

std::string pair_length(size_t length) {
    return "invalid length " + std::to_string(length) + ", expected a [kind, value] array";
}

std::string with_quoted(std::string_view prefix, std::string_view text) {
    std::string message(prefix);
    quote::append_literal(message, text);
    return message;
}

std::string dense_ids(uint64_t expected, uint32_t got) {
    return "graph nodes must have dense append-only IDs: expected " + std::to_string(expected) + ", got " +
           std::to_string(got);
}

std::string unsupported_text(std::string_view label, std::string_view got, std::string_view expected) {
    return "Unsupported " + std::string(label) + " " + quote::literal(got) + "; expected " + quote::literal(expected);
}

std::string unsupported_number(std::string_view label, uint32_t got, uint32_t expected) {
    return "Unsupported " + std::string(label) + " " + std::to_string(got) + "; expected " + std::to_string(expected);
}

// The parse-step failure: the message and the line and column of the last
// byte consumed when it was detected (`consumed` bytes in). Both count from
// 1 and a line feed belongs to the line it ends, so every position names a
// real line and a column of at least 1; with nothing consumed (an empty
// text) it is line 1 column 1.
GraphError deserialization_failed(std::string_view text, std::string_view message, size_t consumed) {
    consumed = std::min(consumed, text.size());
    const size_t at = consumed == 0 ? 0 : consumed - 1;
    const std::string_view before = text.substr(0, at);
    const size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.end(), '\n'));
    const size_t last_feed = before.rfind('\n');
    const size_t column = 1 + at - (last_feed == std::string_view::npos ? 0 : last_feed + 1);
    return GraphError("graph deserialization failed: " + std::string(message) + " at line " + std::to_string(line) +
                      " column " + std::to_string(column));
}

GraphError syntax_failed(std::string_view text, int parse_error, size_t reported, size_t stop) {
    using namespace rapidjson;
    const auto code = static_cast<ParseErrorCode>(parse_error);
    const bool at_end = stop >= text.size();
    const char c = at_end ? '\0' : text[stop];
    size_t consumed = at_end ? text.size() : stop + 1;
    const auto previous_token = [&] {
        size_t p = stop;
        while (p > 0 && (text[p - 1] == ' ' || text[p - 1] == '\t' || text[p - 1] == '\n' || text[p - 1] == '\r')) --p;
        return p > 0 ? text[p - 1] : '\0';
    };
    std::string_view message = "invalid JSON";
    switch (code) {
        case kParseErrorDocumentEmpty: message = at_end ? "EOF while parsing a value" : "expected value"; break;
        case kParseErrorObjectMissName:
            message = at_end ? "EOF while parsing an object" : c == '}' ? "trailing comma" : "key must be a string";
            break;
        case kParseErrorObjectMissColon: message = at_end ? "EOF while parsing an object" : "expected `:`"; break;
        case kParseErrorObjectMissCommaOrCurlyBracket:
            message = at_end ? "EOF while parsing an object" : "expected `,` or `}`";
            break;
        case kParseErrorArrayMissCommaOrSquareBracket:
            message = at_end ? "EOF while parsing an array" : "expected `,` or `]`";
            break;
        case kParseErrorValueInvalid:
            message = at_end                                ? "EOF while parsing a value"
                      : c == ']' && previous_token() == ',' ? "trailing comma"
                                                            : "expected value";
            break;
        case kParseErrorNumberMissFraction:
        case kParseErrorNumberMissExponent: message = at_end ? "EOF while parsing a value" : "invalid number"; break;
        case kParseErrorNumberTooBig:
            message = "number out of range";
            consumed = stop;
            break;
        case kParseErrorStringMissQuotationMark:
            message = at_end ? "EOF while parsing a string" : "control character found while parsing a string";
            break;
        case kParseErrorStringEscapeInvalid:
            message = at_end             ? "EOF while parsing a string"
                      : reported == stop ? "control character found while parsing a string"
                                         : "invalid escape";
            break;
        case kParseErrorStringUnicodeEscapeInvalidHex:
            message = at_end ? "EOF while parsing a string" : "invalid escape";
            break;
        case kParseErrorStringUnicodeSurrogateInvalid:
            message = at_end ? "EOF while parsing a string" : "lone surrogate in unicode escape";
            // A complete second escape that is not a low surrogate was read
            // whole; anything else stopped at its first wrong byte.
            if (stop - reported == 12) consumed = stop;
            break;
        default: break;
    }
    return deserialization_failed(text, message, consumed);
}

}  // namespace vorlix::artifact::reader
