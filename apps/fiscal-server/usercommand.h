#pragma once
// fiscal-server --db DB user ...: the users of a database, from the server's own machine.
// The first administrator is made so; after that the "Usuários" screen can do the rest.

#include "commandline.h"

#include "storage/database.h"

namespace fiscal::server {

// Returns the exit code: 0 done, 1 the database or the user could not be used.
int runUserCommand(const CommandLine &cl);

// The demo database's users, one per role, for trying the program only: consulta,
// operador and administrador, each with the password LOGIN-demo (README.md).
void addDemoUsers(storage::Connection &c);

} // namespace fiscal::server
