#pragma once

// Streams that accept and forget every byte, allocating nothing, like
// /dev/null: for measuring or counting the converter's own work.

#include "converter/conversion_run.hpp"

#include <ostream>
#include <streambuf>

namespace wpan2pcap::test {

class discard_buffer : public std::streambuf {
protected:
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    int sync() override { return 0; }
};

class discard_output final : public output_target {
public:
    std::ostream* open() override { return &stream_; }
    bool close() override { return true; }

private:
    discard_buffer buffer_;
    std::ostream stream_{&buffer_};
};

} // namespace wpan2pcap::test
