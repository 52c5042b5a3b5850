#include "storage/demonames.h"

namespace fiscal::storage::demo {
namespace {

constexpr State kStates[] = {
    {"SP", "São Paulo", 12},     {"MG", "Belo Horizonte", 13}, {"RJ", "Rio de Janeiro", 8},
    {"BA", "Salvador", 9},       {"PR", "Curitiba", 10},       {"RS", "Porto Alegre", 10},
    {"PE", "Recife", 9},         {"CE", "Fortaleza", 9},       {"PA", "Belém", 9},
    {"SC", "Florianópolis", 9},  {"GO", "Goiânia", 9},         {"MA", "São Luís", 9},
    {"AM", "Manaus", 9},         {"ES", "Vitória", 9},         {"PB", "João Pessoa", 9},
    {"RN", "Natal", 9},          {"MT", "Cuiabá", 11},         {"AL", "Maceió", 9},
    {"PI", "Teresina", 9},       {"DF", "Brasília", 13},       {"MS", "Campo Grande", 9},
    {"SE", "Aracaju", 9},        {"RO", "Porto Velho", 14},    {"TO", "Palmas", 11},
    {"AC", "Rio Branco", 13},    {"AP", "Macapá", 9},          {"RR", "Boa Vista", 9},
};

constexpr std::string_view kFirstNames[] = {
    "Maria", "José", "Ana", "João", "Antônio", "Francisca", "Luís", "Márcia", "Sebastião", "Conceição",
    "Raimundo", "Luíza", "Gonçalo", "Fátima", "Inês", "Joaquim", "Letícia", "Vinícius", "Cecília", "André",
    "Beatriz", "Otávio", "Flávia", "Estêvão", "Lúcia", "Caio", "Débora", "Tomé", "Irene", "Júlio",
};

constexpr std::string_view kSurnames[] = {
    "Araújo", "Conceição", "Gonçalves", "Magalhães", "Simões", "Brandão", "Assunção", "Falcão",
    "Guimarães", "Fontes", "Loureiro", "Sá", "Barros", "Damião", "Antunes", "Pereira", "Galvão",
    "Romão", "Nóbrega", "Figueirêdo", "Valadão", "Peixoto", "Teixeira", "Cardoso", "Brito", "Sampaio",
};

constexpr std::string_view kTrades[] = {
    "Comercial", "Distribuidora", "Indústria de Alimentos", "Transportes", "Materiais de Construção",
    "Laticínios", "Frigorífico", "Serviços Gráficos", "Tecnologia", "Papelaria", "Hortifrúti",
    "Confecções", "Auto Peças", "Farmacêutica", "Metalúrgica", "Embalagens",
};

constexpr std::string_view kLegalForms[] = {"Ltda.", "S.A.", "ME", "EPP", "Eireli"};

constexpr std::string_view kCities[] = {
    "São Paulo", "Campinas", "Ribeirão Preto", "Belo Horizonte", "Uberlândia", "Niterói",
    "Jundiaí", "São José dos Campos", "Londrina", "Maringá", "Caxias do Sul", "Joinville",
    "Feira de Santana", "Juazeiro do Norte", "Anápolis", "Petrópolis", "Santarém", "Imperatriz",
    "Mossoró", "Cabo Frio", "Sorocaba", "Blumenau", "Vitória da Conquista", "Governador Valadares",
};

constexpr std::string_view kShopKinds[] = {
    "Mercado", "Padaria", "Açougue", "Restaurante", "Lanchonete", "Farmácia", "Papelaria", "Empório",
};

constexpr std::string_view kGroupDescriptions[] = {
    "Tributação normal",          "Isento de ICMS",           "Substituição tributária",
    "Simples Nacional",           "Não incidência",           "Diferimento",
    "Redução de base de cálculo", "Suspensão de IPI",         "Exportação",
    "Zona Franca de Manaus",      "Produtor rural",           "Órgão público",
    "Imunidade tributária",       "Alíquota zero",            "Crédito presumido",
    "Monofásico combustíveis",    "Monofásico farmacêuticos", "Drawback",
    "Entidade sem fins lucrativos", "Microempreendedor (MEI)", "Retenção na fonte",
    "Regime especial de bebidas", "Cesta básica",             "Importação por conta própria",
};

constexpr Tax kTaxes[] = {
    {"01", "ICMS", "ICMS Próprio", "1.01", 'E'},
    {"02", "IPI", "Imposto s/ Prod. Industriais", "1.02", 'F'},
    {"03", "PIS", "PIS/PASEP", "8109", 'F'},
    {"04", "COFINS", "COFINS", "2172", 'F'},
    {"05", "ISS", "Imposto sobre Serviços", "1.03", 'M'},
    {"06", "IRRF", "Imposto de Renda Retido", "1708", 'F'},
    {"07", "CSLL", "Contribuição Social s/ Lucro", "2372", 'F'},
    {"08", "INSS", "INSS Retido", "2631", 'F'},
    {"09", "ICMSST", "ICMS Substituição Tributária", "1.04", 'E'},
    {"10", "FCP", "Fundo de Combate à Pobreza", "1.05", 'E'},
    {"11", "DIFAL", "ICMS Diferencial de Alíquota", "1.06", 'E'},
    {"12", "II", "Imposto de Importação", "0086", 'F'},
    {"13", "IOF", "IOF", "1150", 'F'},
    {"14", "CIDE", "CIDE Combustíveis", "9331", 'F'},
    {"15", "FUNRURAL", "Contribuição Rural", "2607", 'F'},
    {"16", "SENAR", "SENAR", "2615", 'F'},
    {"17", "PISST", "PIS Substituição Tributária", "8301", 'F'},
    {"18", "COFINSST", "COFINS Substituição Tributária", "8302", 'F'},
    {"19", "IPIDEV", "IPI Devolução", "1.07", 'F'},
    {"20", "ISSRET", "ISS Retido na Fonte", "1.08", 'M'},
};

constexpr Operation kOperations[] = {
    {"Venda de mercadoria", 'S'},       {"Compra para comercialização", 'E'},
    {"Devolução de venda", 'E'},        {"Devolução de compra", 'S'},
    {"Transferência entre filiais", 'S'}, {"Remessa para conserto", 'S'},
    {"Retorno de conserto", 'E'},       {"Bonificação", 'S'},
    {"Compra de ativo imobilizado", 'E'}, {"Prestação de serviço", 'S'},
    {"Remessa em consignação", 'S'},    {"Entrada em comodato", 'E'},
    {"Venda à ordem", 'S'},             {"Importação de insumos", 'E'},
    {"Exportação direta", 'S'},         {"Compra de uso e consumo", 'E'},
};

constexpr std::string_view kManagementTypes[] = {
    "Faturamento normal", "Remessa para conserto", "Bonificação e brindes", "Devolução de compra",
    "Transferência entre filiais", "Exportação", "Venda para entrega futura", "Simples faturamento",
    "Venda a consumidor final", "Refeições coletivas",
};

constexpr Company kCompanies[] = {
    {"Alimentos Conceição", "Alimentos Conceição Ltda."},
    {"Araújo & Filhos Distribuidora", "Araújo & Filhos Distribuidora de Bebidas S.A."},
    {"Serviços Gerais São João", "Serviços Gerais São João Ltda. - ME"},
    {"Refeições Coletivas Paraná", "Refeições Coletivas Paraná S.A."},
    {"Gonçalves Logística", "Gonçalves Logística e Transportes Ltda."},
    {"Merenda Escolar Brasília", "Merenda Escolar Brasília Eireli"},
    {"Hospitalar Magalhães", "Magalhães Gestão Hospitalar S.A."},
    {"Cozinha Industrial Goiânia", "Cozinha Industrial Goiânia Ltda."},
    {"Laser Serviços Técnicos", "Laser Serviços Técnicos e Manutenção Ltda."},
    {"Nutrição Falcão", "Falcão Nutrição e Alimentação Coletiva S.A."},
};

} // namespace

std::span<const State> states() { return kStates; }
std::span<const std::string_view> firstNames() { return kFirstNames; }
std::span<const std::string_view> surnames() { return kSurnames; }
std::span<const std::string_view> trades() { return kTrades; }
std::span<const std::string_view> legalForms() { return kLegalForms; }
std::span<const std::string_view> cities() { return kCities; }
std::span<const std::string_view> shopKinds() { return kShopKinds; }
std::span<const std::string_view> groupDescriptions() { return kGroupDescriptions; }
std::span<const Tax> taxes() { return kTaxes; }
std::span<const Operation> operations() { return kOperations; }
std::span<const std::string_view> managementTypes() { return kManagementTypes; }
std::span<const Company> companies() { return kCompanies; }

} // namespace fiscal::storage::demo
