#include "storage/documents.h"

#include <stdexcept>

namespace fiscal::storage {
namespace {

bool allDigits(std::string_view s)
{
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool allSame(std::string_view s)
{
    return s.find_first_not_of(s.front()) == std::string_view::npos;
}

// Modulo-11 check digit over `digits` with the weights given, highest first.
char checkDigit(std::string_view digits, const int *weights)
{
    int sum = 0;
    for (std::size_t i = 0; i < digits.size(); ++i)
        sum += (digits[i] - '0') * weights[i];
    const int rest = sum % 11;
    return static_cast<char>('0' + (rest < 2 ? 0 : 11 - rest));
}

constexpr int kCpfWeights[] = {11, 10, 9, 8, 7, 6, 5, 4, 3, 2};
constexpr int kCnpjWeights[] = {6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2};

std::string withCpfDigits(std::string_view base9)
{
    std::string s(base9);
    s.push_back(checkDigit(s, kCpfWeights + 1));
    s.push_back(checkDigit(s, kCpfWeights));
    return s;
}

std::string withCnpjDigits(std::string_view base12)
{
    std::string s(base12);
    s.push_back(checkDigit(s, kCnpjWeights + 1));
    s.push_back(checkDigit(s, kCnpjWeights));
    return s;
}

} // namespace

bool isValidCpf(std::string_view digits)
{
    // Repeated digits pass the arithmetic but are refused by the Receita Federal.
    if (digits.size() != 11 || !allDigits(digits) || allSame(digits))
        return false;
    return withCpfDigits(digits.substr(0, 9)) == digits;
}

bool isValidCnpj(std::string_view digits)
{
    if (digits.size() != 14 || !allDigits(digits) || allSame(digits))
        return false;
    return withCnpjDigits(digits.substr(0, 12)) == digits;
}

std::string completeCpf(std::string_view base9)
{
    if (base9.size() != 9 || !allDigits(base9))
        throw std::invalid_argument("a CPF base has 9 digits");
    return withCpfDigits(base9);
}

std::string completeCnpj(std::string_view base12)
{
    if (base12.size() != 12 || !allDigits(base12))
        throw std::invalid_argument("a CNPJ base has 12 digits");
    return withCnpjDigits(base12);
}

std::string documentFromNumber(std::string_view digits)
{
    if (digits.empty() || digits.size() > 14 || !allDigits(digits))
        return {};
    if (digits.size() <= 11) {
        std::string cpf(11 - digits.size(), '0');
        cpf += digits;
        if (isValidCpf(cpf))
            return cpf;
    }
    std::string cnpj(14 - digits.size(), '0');
    cnpj += digits;
    return isValidCnpj(cnpj) ? cnpj : std::string();
}

} // namespace fiscal::storage
