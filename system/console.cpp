#include "system/console.hpp"

namespace wpan2pcap {

console_facts inspect_console()
{
    const std::optional<file_identity> trace_file = identity_of(standard_output);
    return {
        .trace_on_terminal = is_terminal(standard_output),
        .trace_discarded = is_null_device(trace_file),
        .errors_on_terminal = is_terminal(standard_error),
        .trace_file = trace_file,
    };
}

console_buffer::console_buffer(int fd, std::size_t capacity) : fd_(fd), buffer_(capacity)
{
    setp(buffer_.data(), buffer_.data() + buffer_.size());
}

console_buffer::int_type console_buffer::overflow(int_type byte)
{
    if (!send())
        return traits_type::eof();
    if (!traits_type::eq_int_type(byte, traits_type::eof()))
        sputc(traits_type::to_char_type(byte));
    return traits_type::not_eof(byte);
}

int console_buffer::sync() { return send() ? 0 : -1; }

bool console_buffer::send()
{
    const auto size = static_cast<std::size_t>(pptr() - pbase());
    setp(buffer_.data(), buffer_.data() + buffer_.size());
    if (size > 0 && !broken_ && write_text(fd_, {buffer_.data(), size}) != io_result::done)
        broken_ = true;
    return !broken_;
}

} // namespace wpan2pcap
