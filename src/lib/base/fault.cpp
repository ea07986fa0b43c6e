#include "base/fault.hpp"

namespace tarvik {

MessageArg::MessageArg(std::span<const std::uint64_t> shape) : text(format_shape(shape)) {}

std::string format_shape(std::span<const std::uint64_t> shape) {
    std::string text = "[";
    for (std::size_t d = 0; d < shape.size(); ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(shape[d]);
    }
    text += "]";
    return text;
}

std::string format_message(std::string_view pattern, std::initializer_list<MessageArg> args) {
    std::string text;
    text.reserve(pattern.size() + 16 * args.size());
    auto next = args.begin();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' && next != args.end()) {
            text += next->text;
            ++next;
            ++i;
        } else {
            text += pattern[i];
        }
    }
    return text;
}

void fail(std::string_view pattern, std::initializer_list<MessageArg> args, std::source_location where) {
    throw EngineFault(format_message(pattern, args), FaultKind::check_failed, where);
}

void fail_internal(std::string_view pattern, std::initializer_list<MessageArg> args, std::source_location where) {
    throw EngineFault(format_message(pattern, args), FaultKind::internal, where);
}

}  // namespace tarvik
