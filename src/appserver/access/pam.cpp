#include "appserver/access/pam.h"

#include <security/pam_appl.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace fiscal::appserver::access {

namespace {

// Answers every password prompt with the password; PAM frees what it is given.
int converse(int count, const pam_message **messages, pam_response **responses, void *data)
{
    auto *answers = static_cast<pam_response *>(std::calloc(std::size_t(count), sizeof(pam_response)));
    if (!answers)
        return PAM_BUF_ERR;
    const auto *password = static_cast<const std::string *>(data);
    for (int i = 0; i < count; ++i) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF || messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
            answers[i].resp = strdup(password->c_str());
    }
    *responses = answers;
    return PAM_SUCCESS;
}

} // namespace

std::optional<Role> roleFromGroups(const std::string &login)
{
    const passwd *pw = getpwnam(login.c_str());
    if (!pw)
        return std::nullopt;
    std::vector<gid_t> groups(64);
    int n = int(groups.size());
    if (getgrouplist(login.c_str(), pw->pw_gid, groups.data(), &n) < 0) {
        groups.resize(std::size_t(n));
        if (getgrouplist(login.c_str(), pw->pw_gid, groups.data(), &n) < 0)
            return std::nullopt;
    }
    groups.resize(std::size_t(n));
    std::optional<Role> best;
    for (Role r : {Role::Consulta, Role::Operador, Role::Administrador}) {
        const group *g = getgrnam((std::string("fiscal-") + roleName(r)).c_str());
        if (!g)
            continue;
        for (gid_t id : groups)
            if (id == g->gr_gid)
                best = r;
    }
    return best;
}

PamOutcome pamSignIn(const std::string &service, const std::string &login, const std::string &password)
{
    PamOutcome out;
    const pam_conv conversation{converse, const_cast<std::string *>(&password)};
    pam_handle_t *h = nullptr;
    const char *confdir = std::getenv("FISCAL_PAM_CONFDIR");
    int rc = confdir && *confdir ? pam_start_confdir(service.c_str(), login.c_str(), &conversation, confdir, &h)
                                 : pam_start(service.c_str(), login.c_str(), &conversation, &h);
    if (rc != PAM_SUCCESS)
        return out;
    rc = pam_authenticate(h, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (rc == PAM_SUCCESS)
        rc = pam_acct_mgmt(h, PAM_SILENT);
    pam_end(h, rc);
    out.passwordOk = rc == PAM_SUCCESS;
    if (out.passwordOk)
        out.role = roleFromGroups(login);
    return out;
}

} // namespace fiscal::appserver::access
