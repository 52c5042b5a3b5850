#pragma once
// Brazilian taxpayer numbers: CPF (natural persons, 11 digits) and CNPJ (companies,
// 14 digits), stored as bare digits. Check digits follow the Receita Federal's modulo-11
// rule.

#include <cstdint>
#include <string>
#include <string_view>

namespace fiscal::storage {

bool isValidCpf(std::string_view digits);
bool isValidCnpj(std::string_view digits);

// Completes a 9-digit CPF base or a 12-digit CNPJ base (root + branch) with its two check
// digits. The base must hold digits only.
std::string completeCpf(std::string_view base9);
std::string completeCnpj(std::string_view base12);

// A CNPJ or CPF typed as a number, which lost its leading zeros: with the zeros back, the
// valid CPF (up to 11 digits) or else the valid CNPJ (up to 14) it makes; empty when it makes
// neither, or when `digits` holds anything but digits.
std::string documentFromNumber(std::string_view digits);

} // namespace fiscal::storage
