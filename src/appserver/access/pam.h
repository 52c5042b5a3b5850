#pragma once
// Passwords checked by PAM (fiscal-server --auth pam[:SERVICE]), so that accounts may come
// from the system, LDAP or Active Directory through sssd. The role comes from membership in
// the system groups fiscal-consulta, fiscal-operador and fiscal-administrador (the highest
// wins). FISCAL_PAM_CONFDIR names a PAM configuration folder other than /etc/pam.d.

#include "appserver/access/roles.h"

#include <optional>
#include <string>

namespace fiscal::appserver::access {

struct PamOutcome {
    bool passwordOk = false;
    std::optional<Role> role;   // nothing: in none of the groups
};

PamOutcome pamSignIn(const std::string &service, const std::string &login, const std::string &password);

// The account's own name for a login the system accepts in other spellings (sssd matches
// names regardless of case, and "maria@empresa" is maria): the name its uid has. A login the
// system does not know comes back as typed.
std::string canonicalLogin(const std::string &login);

// The highest role among the groups `login` belongs to.
std::optional<Role> roleFromGroups(const std::string &login);

// For a session already open: the role its groups give `login` now, none when the system
// finds the account in none of them. When the system cannot tell (the account, its groups or
// every fiscal group not found, as while sssd restarts), `current`: an outage of the
// directory must not end every open session.
std::optional<Role> roleNowOr(const std::string &login, Role current);

} // namespace fiscal::appserver::access
