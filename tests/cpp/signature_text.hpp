#pragma once
// Signatures as readable text, for tests: the sink that writes the
// registry's format as it reads, and keys made from such text.

#include <charconv>
#include <string>
#include <string_view>

#include "dawg/registry.hpp"
#include "utils/utf8.hpp"

namespace sorvan::testing_support {

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

inline SignatureRegistry::Key key_of(const SignatureRegistry& registry, std::string_view text) {
    SignatureRegistry::Key key;
    registry.prepare([text](SignatureRegistry::Packer& packer) { packer.bytes(text); }, key);
    return key;
}

// Enters text signatures the way the Dawg enters its keys: room first.
inline void enter_text(SignatureRegistry& registry, std::string_view text, NodeIndex node) {
    const SignatureRegistry::Key key = key_of(registry, text);
    registry.reserve({&key, 1});
    registry.enter(key, node);
}

}  // namespace sorvan::testing_support
