#pragma once
// EDatabaseError: a data-set operation that cannot be carried out (closed data set,
// setting a field while browsing, unknown field, missing required value, a packet that
// does not fit the fields). The message is Portuguese and can be shown to the user.

#include <QString>
#include <stdexcept>

namespace fiscal::dataset {

class EDatabaseError : public std::runtime_error {
public:
    explicit EDatabaseError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString &message() const { return m_message; }
private:
    QString m_message;
};

} // namespace fiscal::dataset
