#include "Pkg_Ger10200/shared/reportprompts.h"

#include "clientlib/interaction.h"
#include "reports/prompts.h"

namespace fiscal::ger10200 {

namespace {

class InteractionPrompts : public reports::Prompts {
public:
    void tell(const QString &text, QWidget *parent) override
    {
        clientlib::interaction().message(clientlib::mtInformation, QString(), text, clientlib::mbOK, parent);
    }
    void tellError(const QString &text, QWidget *parent) override
    {
        clientlib::interaction().message(clientlib::mtError, QString(), text, clientlib::mbOK, parent);
    }
    void runModal(QDialog &dialog) override { clientlib::interaction().runModal(dialog); }
    QString chooseSaveFile(const QString &title, const QString &suggested, const QStringList &filters,
                           QString &filter, QWidget *parent) override
    {
        return clientlib::interaction().chooseSaveFile(title, suggested, filters, filter, parent);
    }
};

} // namespace

reports::Prompts &reportPrompts()
{
    static InteractionPrompts prompts;
    return prompts;
}

} // namespace fiscal::ger10200
