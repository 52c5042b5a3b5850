#pragma once
// Many short strings back to back in one buffer, each found by where it ends: a few bytes
// for a code of eight characters where a std::string takes 32. An import holds half a
// million keys, and fresh memory is paid page by page when first touched.
//
//   PackedStrings keys;
//   keys.add("00001234");
//   std::string_view k = keys[0];   // valid until the next add()

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::appserver::bulk {

class PackedStrings {
public:
    void reserve(std::size_t count, std::size_t bytes)
    {
        m_ends.reserve(count);
        m_text.reserve(bytes);
    }
    void add(std::string_view s)
    {
        if (m_text.size() + s.size() > std::numeric_limits<std::uint32_t>::max())
            throw std::length_error("PackedStrings: more than 4 GiB of text");
        m_text.append(s);
        m_ends.push_back(std::uint32_t(m_text.size()));
    }
    std::size_t size() const { return m_ends.size(); }
    std::string_view operator[](std::size_t i) const
    {
        const std::uint32_t begin = i == 0 ? 0 : m_ends[i - 1];
        return {m_text.data() + begin, m_ends[i] - begin};
    }

private:
    std::string m_text;
    std::vector<std::uint32_t> m_ends;
};

} // namespace fiscal::appserver::bulk
