#pragma once
// Reading a call's positional arguments. An argument list (bulkcalls.h) says what sits at
// each position, how long a text may be and how it is named in messages; the reader says
// how strictly: the server refuses anything out of shape (appserver/common/args.h), the
// history screen takes what the history kept.

#include <QString>

namespace fiscal::protocol {

class ArgumentReader {
public:
    virtual ~ArgumentReader() = default;
    // Every list checks its length first; `method` names the call in the message.
    virtual void expectCount(qsizetype count, const char *method) const = 0;
    // A text of at most maxSize characters (-1: any length); `what` names it ("imposto").
    virtual QString text(qsizetype index, int maxSize, const char *what) const = 0;
    virtual bool boolean(qsizetype index, const char *what) const = 0;
};

} // namespace fiscal::protocol
