#pragma once
// Declarative layout of TfrmParamGrupFiscal: the fields of every data set, the columns of
// every grid and the rows of msgPadrao. The screen builds itself from these tables, so
// the layout can be read (and tested) in one place.

#include "Pkg_Ger10200/shared/fieldspec.h"

#include <array>

namespace fiscal::ger10200::layout {

// Data sets, fields in packet order (the server sends exactly these).
inline constexpr FieldSpec cdsFornecedor[] = {
    {"NRINSJURFORN", 20, "Inscrição", true, true},
    {"CDFORNECED", 21, nullptr, false},
    {"NOME", 40, "Nome/Razão Social"},
    {"CDGRUPOFISC", 3, "Grupo Fiscal", true, false, kMaskGrupo},
    {"IDTPIJURFORN", 1, nullptr, false},
    {"DSGRUPOFISC", 30, nullptr, false},
};
inline constexpr FieldSpec cdsCliente[] = {
    {"NMFANTCLIE", 50, "Nome Fantasia"},
    {"NRINSJURCLIE", 20, "Inscrição"},
    {"CDCLIENTE", 21, nullptr, false},
    {"NOME", 50, "Nome Fantasia", false},
    {"IDTPIJURCLIE", 1, nullptr, false},
    {"CDGRUPOFISC", 3, "Grupo Fiscal", true, false, kMaskGrupo},
    {"DSGRUPOFISC", 30, nullptr, false},
};
inline constexpr FieldSpec cdsFilial[] = {
    {"CDFILIAL", 4, "Código"},
    {"NOME", 30, "Nome"},
    {"CDGRUPOFISC", 3, "Grupo Fiscal"},
    {"DSGRUPOFISC", 30, "Descrição", false},
};
inline constexpr FieldSpec cdsTipoOperac[] = {
    {"CDTIPOOPER", 2, "Código"},
    {"IDENTRSAIDOP", 1, "E/S"},
    {"NOME", 30, "Nome"},
    {"CDGRUPOFISC", 3, "Grupo Fiscal", true, false, kMaskGrupo},
    {"DSGRUPOFISC", 30, nullptr, false},
};
inline constexpr FieldSpec cdsTipoFatur[] = {
    {"CDTIPOFATUR", 3, "Tipo Faturamento", true, true},
    {"CDGRUPOFISC", 3, "Grupo Fiscal", true, false, kMaskGrupo},
    {"DSGRUPOFISC", 30, nullptr, false},
    {"NOME", 3, nullptr},
};
inline constexpr FieldSpec cdsOperInter[] = {
    {"CDPARGERAL", 4, "Código"},
    {"DSPARGERFIS", 3, "Descrição"},
};
inline constexpr FieldSpec cdsTipoGest[] = {
    {"NMTPFATURFIS", 58, "Tipo Gestão Fiscal"},
    {"NOME", 50, nullptr, false},
    {"CDTPFATURFIS", 5, nullptr, false},
    {"CDGRUPOFISC", 3, "Grupo Fiscal"},
    {"DSGRUPOFISC", 30, nullptr, false},
};
inline constexpr FieldSpec cdsImpFili[] = {
    {"CDIMPOSTO", 2, nullptr, false},
    {"CDFILIAL", 4, "Código"},
    {"NOME", 30, "Nome"},
    {"CDGRUPOFISC", 3, "Grupo Fiscal"},
    {"DSGRUPOFISC", 30, "Descrição", false},
};
inline constexpr FieldSpec cdsFornInsc[] = {
    {"CDFORNECED", 21, nullptr, false},
    {"NOME", 40, "Nome/Razão Social"},
    {"NRINSJURFORN", 20, "Inscrição"},
    {"IDTPIJURFORN", 1, nullptr, false},
    {"CDGRUPOFISC", 3, "Grupo Fiscal"},
    {"DSGRUPOFISC", 30, nullptr, false},
    {"CDIMPOSTO", 2, nullptr, false},
    {"CDEMPRESA", 2, nullptr, false},
    {"CDINSCESTA", 16, nullptr, false},
};
inline constexpr FieldSpec cdsCliInsc[] = {
    {"CDCLIENTE", 21, nullptr, false},
    {"NOME", 50, "Nome Fantasia"},
    {"NRINSJURCLIE", 20, "Inscrição"},
    {"IDTPIJURCLIE", 1, nullptr, false},
    {"CDGRUPOFISC", 3, "Grupo Fiscal"},
    {"DSGRUPOFISC", 30, nullptr, false},
    {"CDIMPOSTO", 2, nullptr, false},
    {"CDEMPRESA", 2, nullptr, false},
    {"CDINSCESTA", 16, nullptr, false},
};
inline constexpr FieldSpec cdsGrupoFiscal[] = {
    {"CDGRUPOFISC", 3, "Código"},
    {"DSGRUPOFISC", 30, "Descrição"},
};

// Fields of the database queries: what their search lists show, with titles and sizes.
inline constexpr FieldSpec qryImposto[] = {
    {"CDIMPOSTO", 2, "Código"},
    {"NMIMPOSTO", 30, "Nome"},
};
inline constexpr FieldSpec qryEmpresa[] = {
    {"CDEMPRESA", 2, "Código"},
    {"NMEMPRESA", 40, "Nome"},
};
inline constexpr FieldSpec qryInscEsta[] = {
    {"CDINSCESTA", 16, "Código"},
    {"NRINSJURIEST", 20, "Inscrição"},
    {"NMREPRINSEST", 40, "Representante Legal"},
    {"SGESTADO", 2, "UF"},
    {"IDTPIJURIEST", 1, nullptr, false},
};
inline constexpr FieldSpec qryGrupoFisc[] = {
    {"CDGRUPOFISC", 3, "Código"},
    {"DSGRUPOFISC", 30, "Descrição"},
};

// Grid columns, left to right.
inline constexpr ColumnSpec dbgPadrao[] = {
    {"NRINSJURFORN", "Inscrição", 0, false, false},
    {"NOME", "Nome/Razão Social", 245, true, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 158, false, true},
};
inline constexpr ColumnSpec dbgCliente[] = {
    {"NRINSJURCLIE", "Inscrição", 0, true, false},
    {"NMFANTCLIE", "Nome Fantasia", 244, true, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 158, false, true},
};
inline constexpr ColumnSpec dbgFilial[] = {
    {"CDFILIAL", "Código", 57, true, false},
    {"NOME", "Nome", 0, true, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 152, false, true},
};
inline constexpr ColumnSpec dbgTipooperac[] = {
    {"CDTIPOOPER", "Código", 0, true, false},
    {"NOME", "Nome", 0, true, false},
    {"IDENTRSAIDOP", "E/S", 0, true, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 158, false, true},
};
// The billing-type group column gets its button from the edit state.
inline constexpr ColumnSpec dbgTipoFatur[] = {
    {"CDTIPOFATUR", "Tipo Faturamento", 159, false, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 158, false, false},
};
// The management-type group column gets its button from the edit state.
inline constexpr ColumnSpec dbgTipoGest[] = {
    {"NMTPFATURFIS", "Tipo Gestão Fiscal", 226, true, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 179, false, false},
};
inline constexpr ColumnSpec dbgImpFili[] = {
    {"CDFILIAL", "Código", 51, true, false},
    {"NOME", "Nome", 225, true, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 152, false, true},
};
inline constexpr ColumnSpec dbgFornInsc[] = {
    {"NRINSJURFORN", "Inscrição", 0, true, false},
    {"NOME", "Nome/Razão Social", 245, true, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 158, false, true},
};
inline constexpr ColumnSpec dbgCliInsc[] = {
    {"NRINSJURCLIE", "Inscrição", 0, true, false},
    {"NOME", "Nome Fantasia", 244, true, false},
    {"CDGRUPOFISC", "Grupo Fiscal", 158, false, true},
};

// msgPadrao, in the table's order.
inline constexpr const char *msgPadrao[] = {
    "Excl|Confirma exclusão?",
    "Grupo|Grupo Fiscal",
    "cod_cad|Grupo fiscal já cadastrado.",
    "cod_not_cad|Grupo fiscal não cadastrado.",
    "001|Gestão Direta",
    "002|Gestão Minte",
    "003|Mandato",
    "004|Refeição e Serviço",
    "005|Taxa Fixa",
    "006|Gestão Hospitalar",
    "007|Produtos e Serviços",
    "008|Gestão Laser",
    "009|Gestão Merenda",
    "Atual_Oper|Atualizando dados...",
    "Fil_not_cad|Filial não cadastrada.",
    "Fili_Inf|Filial deve ser informada.",
    "Imp_Inf|Imposto deve ser informado.",
    "Imp_Cad|Imposto não cadastrado.",
    "GetImpFili|Recebendo dados do servidor...",
    "Empresa_dev|Empresa deve ser informada.",
    "Empresa_cad|Empresa não cadastrada.",
    "InscEsta_dev|Inscrição Estadual deve ser informada.",
    "InscEsta_cad|Inscrição Estadual não cadastrada.",
    "Imp_dev|Imposto deve ser informado.",
    "ImpInsc_cad|Imposto não cadastrado.",
    "GetFornInsc|Recebendo dados do servidor...",
    "Grup_N_Cad|Grupo fiscal não cadastrado.",
    "GetTipoGest|Recebendo dados do servidor...",
};

// Tab captions of pgcPadrao, in order.
inline constexpr const char *kTabCaptions[] = {
    "Fornecedor",
    "Cliente",
    "Filial",
    "Tipo de Operação",
    "Tipo de Contrato (Faturamento)",
    "Operações Interestaduais",
    "Tipo de Gestão Fiscal",
    "Imposto/Filial",
    "Imposto/Inscrição Estadual",
};

} // namespace fiscal::ger10200::layout
