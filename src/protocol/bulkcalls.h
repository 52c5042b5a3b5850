#pragma once
// The argument lists of the three bulk calls, in the order they travel. A dialog fills the
// struct and sends encode(); the server reads it back with decode() and checks the values
// (appserver/bulk); the history screen reads the arguments the history kept with the same
// decode(). A change here changes both sides, or breaks the build of the one not changed.
//
//   protocol::ReplicaArgs a;  a.tax = "01"; ...;  net.call(method::Replica, a.encode());
//   const auto a = protocol::ReplicaArgs::decode(reader);   // reader: arguments.h

#include "protocol/objects.h"

#include <QCborArray>
#include <QString>

namespace fiscal::protocol {

class ArgumentReader;

// Ger10201.rdmCadAutParGrpFis CadastroAutomatico (and SimulaCadastroAutomatico):
// (entity, group, unused, mode, tax, company, registration)
struct CadastroAutomaticoArgs {
    QString entity;        // FORNECEDOR, CLIENTE, FILIAL, TIPOOPERAC, TPFATURFIS, PARAMFILIAL,
                           // GRFISCIMPOSFILI, GRFISIMPIEFORN, GRFISIMPIECLIE
    QString group;         // empty: none
    QString unused;        // sent empty, read and ignored
    QString mode;          // T every record, V only records without a group, L clear
    QString tax;           // the parameter entities only
    QString company;       // the per-registration entities only
    QString registration;

    QCborArray encode() const;
    static CadastroAutomaticoArgs decode(const ArgumentReader &r, const char *method = method::CadastroAutomatico);
};

// Ger10201.rdmCadAutParGrpFis CadAutoImpInscEsta (and SimulaCadAutoImpInscEsta):
// (tax, unused, regChoice, regList, cliChoice, cliList, fornChoice, fornList, group, mode)
// A choice is "T" (all), "L" (the keys of its list, 'k1','k2') or "N" (none; not for the
// registrations). A list beside another choice is the dialog's leftover and means nothing.
struct CadAutoImpInscEstaArgs {
    QString tax;
    QString unused;
    QString registrationChoice;
    QString registrations;     // keys: CDEMPRESA (2) followed by CDINSCESTA
    QString clientChoice;
    QString clients;
    QString supplierChoice;
    QString suppliers;
    QString group;
    QString mode;              // T upsert, V only where there is no row, E delete rows with the group

    QCborArray encode() const;
    static CadAutoImpInscEstaArgs decode(const ArgumentReader &r, const char *method = method::CadAutoImpInscEsta);
};

// Ger10200.rdmParamGrupFiscal Replica (and SimulaReplica):
// (tax, company, registration, groups, destCompany, destRegistrations, suppliers, clients)
// groups and destRegistrations are selections: "T" or 'k1','k2'.
struct ReplicaArgs {
    QString tax;
    QString company;
    QString registration;
    QString groups;
    QString destCompany;
    QString destRegistrations;   // CDINSCESTA of destCompany
    bool suppliers = false;      // exactly one of the two
    bool clients = false;

    QCborArray encode() const;
    static ReplicaArgs decode(const ArgumentReader &r, const char *method = method::Replica);
};

} // namespace fiscal::protocol
