// Saving grid changes: every posted or deleted row goes to the server at once, one change
// set per post, and the change log is merged only after the server accepted it.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"
#include "Pkg_Ger10200/shared/datasets.h"
#include "clientlib/checkresult.h"
#include "clientlib/datasetroutines.h"

#include "clientlib/localcache.h"
#include "clientlib/messages.h"
#include "clientlib/waitanimation.h"
#include "dataset/abort.h"
#include "dataset/clientdataset.h"
#include "protocol/objects.h"
#include "rpc/dispatcher.h"

namespace fiscal::ger10200 {

namespace method = protocol::method;

using dataset::TClientDataSet;

void TfrmParamGrupFiscal::wireSaving(const GridMember &m)
{
    // Rows come from the server only; a grid or the navigator asking for a new row is
    // refused without a word.
    m.cds->BeforeInsert = [](TClientDataSet &) { dataset::Abort(); };
    m.cds->BeforePost = [this, m](TClientDataSet &) { BeforePost(m); };
    m.cds->AfterPost = [this, m](TClientDataSet &) { SendChanges(m, false); };
    m.cds->AfterDelete = [this, m](TClientDataSet &) { SendChanges(m, true); };
}

void TfrmParamGrupFiscal::BeforePost(const GridMember &m)
{
    // A row posted without a change stores nothing: no lookup, and above all no update of
    // the branches' billing-type groups that nobody asked for.
    if (!m.cds->Modified())
        return;
    Vd_GrupoFiscal(m.cds);
    clientlib::Seta_Campo_Null(m.cds);
    if (m.copyContext)
        m.copyContext();

    dataset::TField *code = m.cds->FieldByName(QStringLiteral("CDGRUPOFISC"));
    dataset::TField *desc = m.cds->FieldByName(QStringLiteral("DSGRUPOFISC"));
    if (code->AsString().trimmed().isEmpty()) {
        // No group: the row is stored without one.
        code->Clear();
        desc->Clear();
    } else {
        // Vd_GrupoFiscal has just looked this code up, so cdsGrupoFiscal stands on it.
        const QString found = currentText(cdsGrupoFiscal, QStringLiteral("CDGRUPOFISC"));
        if (found == code->AsString())
            desc->setAsString(currentText(cdsGrupoFiscal, QStringLiteral("DSGRUPOFISC")));
        else
            desc->Clear();
    }

    if (m.checksBillingType) {
        netParamGrupFiscal->check(method::SetUpdateTipoFatur,
                                  {code->AsString(),
                                   m.cds->FieldByName(QStringLiteral("CDTIPOFATUR"))->AsString()});
    }
}

void TfrmParamGrupFiscal::SendChanges(const GridMember &m, bool afterDelete)
{
    if (m.cds->ChangeCount() <= 0)
        return;
    {
        clientlib::WaitScope wait(this, 1, msgPadrao->Msg(QStringLiteral("Atual_Oper")));
        // A failure leaves the change log as it is, for every member: the change goes
        // again with the next post, or a reload of the tab drops it. Merging it here
        // would show a value as saved that the server never stored.
        rpc::Reply reply = netParamGrupFiscal->call(m.saveMethod, QCborArray{deltaValue(m.cds)});
        // A refusal names one record; the others that went with it were not saved either,
        // and the refresh its message asks for would drop them.
        const int pending = m.cds->ChangeCount();
        if (!reply.ok() && pending > 1
            && (reply.errorCode() == rpc::code::Conflict || reply.errorCode() == rpc::code::InvalidParams
                || reply.errorCode() == rpc::code::NotFound))
            reply = rpc::Reply::failure(reply.errorCode(),
                                        QStringLiteral("%1\n\nNenhuma das %2 alterações pendentes em %3 foi gravada: elas "
                                                       "continuam pendentes e vão com a próxima gravação; atualizar a aba %3 "
                                                       "as descarta.")
                                            .arg(reply.errorMessage().trimmed())
                                            .arg(pending)
                                            .arg(tabNameOf(m.cds)),
                                        reply.errorData());
        clientlib::CheckResultServ(reply, true, 0);
    }
    m.cds->MergeChangeLog();
    if (!m.cacheKey.isEmpty())
        refreshCache(afterDelete ? QStringLiteral("DELETECACHE") : m.cacheKey);
}

void TfrmParamGrupFiscal::refreshCache(const QString &key)
{
    clientlib::AtualizaLocalCache({key});
    Q_EMIT localCacheRefreshed(key);
}

} // namespace fiscal::ger10200
