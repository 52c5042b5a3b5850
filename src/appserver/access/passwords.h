#pragma once
// Passwords: Argon2id through libsodium, never kept or logged in clear. A hash takes
// kHashMemory bytes while it runs; at most `setHashLimit` of them run at once in the
// process (the server sets it to its serving threads), so a storm of sign-ins waits its
// turn instead of taking the machine's memory.
//
//   const std::string stored = hashPassword("correct horse battery");
//   verifyPassword(stored, typed)   -> true or false

#include <QString>
#include <cstddef>
#include <optional>
#include <string>

namespace fiscal::appserver::access {

// libsodium's interactive limits: about 64 MiB and a tenth of a second per hash.
std::size_t hashMemory();

void setHashLimit(int atOnce);
// Hashes running at this moment, and the most that ever ran at once (for tests).
int hashesRunning();
int hashesPeak();

// The Argon2id string (algorithm, cost, salt and hash together).
std::string hashPassword(const std::string &password);
bool verifyPassword(const std::string &stored, const std::string &password);

// Why a new password is refused ("A senha deve ter ao menos 10 caracteres."), or nothing.
std::optional<QString> passwordProblem(const std::string &login, const std::string &password);

// 256 random bits in lower-case hex: a session token.
std::string randomToken();
// A temporary password people can type: 12 characters from an alphabet without 0/O, 1/l.
std::string temporaryPassword();

} // namespace fiscal::appserver::access
