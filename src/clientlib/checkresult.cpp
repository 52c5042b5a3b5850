#include "clientlib/checkresult.h"

#include "clientlib/messages.h"
#include "clientlib/waitanimation.h"

namespace fiscal::clientlib {

rpc::Reply CheckResultServ(const rpc::Reply &result, bool showError, int)
{
    if (result.ok()) {
        return result;
    }
    QString text = result.errorMessage().trimmed();
    if (text.isEmpty()) {
        text = QStringLiteral("O servidor de aplicação informou uma falha (código %1).").arg(result.errorCode());
    }
    // The box must not sit under a spinner that says the work goes on.
    DeactiveShowAvi();
    if (!showError) {
        throw EServerError(result.errorCode(), text);
    }
    MensErro(text, true);
}

} // namespace fiscal::clientlib
