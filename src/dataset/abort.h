#pragma once
// EAbort: the silent "abort" exception. Thrown to cancel the current action without a
// message (a BeforeInsert that refuses new rows, MensErro after its box). The event guard
// swallows it; every other exception is shown to the user.
//
//   throw fiscal::dataset::EAbort();     or     fiscal::dataset::Abort();

#include <exception>

namespace fiscal::dataset {

class EAbort : public std::exception {
public:
    const char *what() const noexcept override { return "Operation aborted"; }
};

[[noreturn]] inline void Abort() { throw EAbort(); }

} // namespace fiscal::dataset
