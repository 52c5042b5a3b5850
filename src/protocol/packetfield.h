#pragma once

#include <string_view>

namespace fiscal::protocol {

// One field of a data packet the server writes: its name and its size in characters
// (0: any length). Every field of these packets is a string.
struct PacketField {
    std::string_view name;
    int size;
};

} // namespace fiscal::protocol
