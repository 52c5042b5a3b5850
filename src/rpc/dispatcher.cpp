#include "rpc/dispatcher.h"

#include <algorithm>

namespace fiscal::rpc {

namespace {
// Names are ASCII identifiers; the locale must not change how they compare.
std::string lowered(const std::string &s)
{
    std::string r = s;
    std::transform(r.begin(), r.end(), r.begin(), [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : char(c);
    });
    return r;
}
}

QString echoed(QStringView text)
{
    if (text.size() <= kEchoedLength)
        return text.toString();
    qsizetype n = kEchoedLength;
    if (text.at(n - 1).isHighSurrogate())
        --n;   // never half a character
    return text.first(n).toString() + QChar(0x2026);
}

void Dispatcher::add(const std::string &object, const std::string &method, Method m, CallKind kind,
                     LargeParams large)
{
    if (object.empty() || method.empty() || !m)
        throw std::invalid_argument("Dispatcher::add: empty object, method or handler");
    Object &o = m_objects[lowered(object)];
    if (o.name.empty())
        o.name = object;
    if (!o.methods.emplace(lowered(method), Entry{method, std::move(m), kind, large}).second)
        throw std::invalid_argument("Dispatcher::add: method registered twice: " + object + "."
                                    + method);
}

std::vector<std::pair<std::string, std::string>> Dispatcher::methods() const
{
    std::vector<std::pair<std::string, std::string>> all;
    for (const auto &[key, o] : m_objects)
        for (const auto &[lower, m] : o.methods)
            all.emplace_back(o.name, m.name);
    return all;
}

bool Dispatcher::hasObject(const std::string &object) const
{
    return m_objects.count(lowered(object)) != 0;
}

const Method *Dispatcher::find(const std::string &object, const std::string &method,
                               MethodName *name) const
{
    const auto o = m_objects.find(lowered(object));
    if (o == m_objects.end())
        return nullptr;
    const auto m = o->second.methods.find(lowered(method));
    if (m == o->second.methods.end())
        return nullptr;
    if (name)
        *name = {&o->second.name, &m->second.name, m->second.kind, m->second.large};
    return &m->second.fn;
}

} // namespace fiscal::rpc
