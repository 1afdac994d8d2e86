#pragma once
// Node signatures as readable text, for tests: the sink that writes the
// registry's signature format as it reads.

#include <charconv>
#include <cstdint>
#include <string>

#include "dawg/registry.hpp"
#include "node/node.hpp"
#include "utils/utf8.hpp"

namespace sorvan {

struct TextSink {
    std::string out;
    void letter(Letter c) { utf8::append(out, c); }
    void decimal(std::uint64_t value) {
        char digits[20];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    }
    void digit(char d) { out.push_back(d); }
};

inline std::string signature_text(const NodeStore& nodes, NodeIndex node) {
    TextSink sink;
    write_signature(nodes[node], nodes, sink);
    return sink.out;
}

}  // namespace sorvan
