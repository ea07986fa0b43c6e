// The engine's one failure channel and the one formatter that writes its messages.
#pragma once

#include <concepts>
#include <cstdint>
#include <exception>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

namespace tarvik {

// What went wrong, as far as the binding needs to know: a failed check on the caller's input and a
// broken invariant of the module itself both become PanicException (only the second is reported as an
// internal fault), a refused allocation becomes MemoryError.
enum class FaultKind { check_failed, internal, out_of_memory };

class EngineFault : public std::exception {
public:
    explicit EngineFault(std::string message, FaultKind kind = FaultKind::check_failed,
                         std::source_location where = std::source_location::current())
        : message_(std::move(message)), kind_(kind), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    FaultKind kind() const noexcept { return kind_; }
    // Where the failed check stands in the source, for the notice the binding prints.
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    FaultKind kind_;
    std::source_location where_;
};

// One argument of a message template, already written out as text.
struct MessageArg {
    std::string text;

    template <std::integral I>
    MessageArg(I value) : text(std::to_string(value)) {}
    MessageArg(std::span<const std::uint64_t> shape);
    MessageArg(std::string_view value) : text(value) {}
    MessageArg(const char* value) : text(value) {}
};

// Writes a shape as "[2, 3]", an empty one as "[]".
std::string format_shape(std::span<const std::uint64_t> shape);

// Fills the `{}` placeholders of `pattern` in order.
std::string format_message(std::string_view pattern, std::initializer_list<MessageArg> args);

// Raises an EngineFault whose message is `pattern` filled with `args`.
[[noreturn]] void fail(std::string_view pattern, std::initializer_list<MessageArg> args = {},
                       std::source_location where = std::source_location::current());
// The same for a condition that no input should reach: a broken invariant of the module.
[[noreturn]] void fail_internal(std::string_view pattern, std::initializer_list<MessageArg> args = {},
                                std::source_location where = std::source_location::current());

}  // namespace tarvik
