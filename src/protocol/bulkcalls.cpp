#include "protocol/bulkcalls.h"

#include "protocol/arguments.h"

namespace fiscal::protocol {

QCborArray CadastroAutomaticoArgs::encode() const
{
    return {entity, group, unused, mode, tax, company, registration};
}

CadastroAutomaticoArgs CadastroAutomaticoArgs::decode(const ArgumentReader &r, const char *method)
{
    r.expectCount(7, method);
    CadastroAutomaticoArgs a;
    a.entity = r.text(0, 20, "entidade");
    a.group = r.text(1, 3, "grupo fiscal");
    a.unused = r.text(2, 255, "terceiro argumento");
    a.mode = r.text(3, 1, "tipo de cadastramento");
    a.tax = r.text(4, 2, "imposto");
    a.company = r.text(5, 2, "empresa");
    a.registration = r.text(6, 16, "inscrição estadual");
    return a;
}

QCborArray CadAutoImpInscEstaArgs::encode() const
{
    return {tax, unused, registrationChoice, registrations, clientChoice, clients,
            supplierChoice, suppliers, group, mode};
}

CadAutoImpInscEstaArgs CadAutoImpInscEstaArgs::decode(const ArgumentReader &r, const char *method)
{
    r.expectCount(10, method);
    CadAutoImpInscEstaArgs a;
    a.tax = r.text(0, 2, "imposto");
    a.unused = r.text(1, 255, "segundo argumento");
    a.registrationChoice = r.text(2, 1, "opção de inscrições estaduais");
    a.registrations = r.text(3, -1, "lista de inscrições estaduais");
    a.clientChoice = r.text(4, 1, "opção de clientes");
    a.clients = r.text(5, -1, "lista de clientes");
    a.supplierChoice = r.text(6, 1, "opção de fornecedores");
    a.suppliers = r.text(7, -1, "lista de fornecedores");
    a.group = r.text(8, 3, "grupo fiscal");
    a.mode = r.text(9, 1, "tipo de cadastramento");
    return a;
}

QCborArray ReplicaArgs::encode() const
{
    return {tax, company, registration, groups, destCompany, destRegistrations, suppliers, clients};
}

ReplicaArgs ReplicaArgs::decode(const ArgumentReader &r, const char *method)
{
    r.expectCount(8, method);
    ReplicaArgs a;
    a.tax = r.text(0, 2, "imposto");
    a.company = r.text(1, 2, "empresa de origem");
    a.registration = r.text(2, 16, "inscrição estadual de origem");
    a.groups = r.text(3, -1, "seleção de grupos fiscais");
    a.destCompany = r.text(4, 2, "empresa de destino");
    a.destRegistrations = r.text(5, -1, "seleção de inscrições estaduais de destino");
    a.suppliers = r.boolean(6, "fornecedores");
    a.clients = r.boolean(7, "clientes");
    return a;
}

} // namespace fiscal::protocol
