#pragma once
// Word lists the demo data is built from: Brazilian places, people and trades.

#include <span>
#include <string_view>

namespace fiscal::storage::demo {

struct State {
    std::string_view uf;
    std::string_view capital;
    int registrationDigits; // length of the state registration number there
};

std::span<const State> states();            // the 27 federation units
std::span<const std::string_view> firstNames();
std::span<const std::string_view> surnames();
std::span<const std::string_view> trades();     // "Comercial", "Distribuidora de Alimentos", ...
std::span<const std::string_view> legalForms(); // "Ltda.", "S.A.", "ME", ...
std::span<const std::string_view> cities();
std::span<const std::string_view> shopKinds();  // trade-name prefixes: "Mercado", "Padaria", ...

struct Named {
    std::string_view code;
    std::string_view name;
};
struct Tax {
    std::string_view code;
    std::string_view acronym;
    std::string_view name;
    std::string_view officialCode;
    char collector; // 'F' federal, 'E' state, 'M' municipal
};
struct Operation {
    std::string_view name;
    char direction; // 'E' entrada, 'S' saída
};
struct Company {
    std::string_view name;
    std::string_view legalName;
};

std::span<const std::string_view> groupDescriptions();
std::span<const Tax> taxes();
std::span<const Operation> operations();
std::span<const std::string_view> managementTypes();
std::span<const Company> companies();

} // namespace fiscal::storage::demo
