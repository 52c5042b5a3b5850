#include "appserver/access/pam.h"

#include <security/pam_appl.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
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

// The reentrant lookups: sign-ins run on several serving threads at once, and getpwnam and
// getgrnam hand every thread the same static record.
template <typename Lookup>
void withGrowingBuffer(std::vector<char> &buffer, Lookup lookup)
{
    // A group of tens of thousands of members needs megabytes; the bound only stops a
    // lookup that would never fit.
    for (buffer.resize(4096); lookup(buffer.data(), buffer.size()) == ERANGE && buffer.size() < (std::size_t(1) << 28);)
        buffer.resize(buffer.size() * 2);
}

std::optional<passwd> userRecord(const std::string &login, std::vector<char> &buffer)
{
    passwd record{};
    passwd *found = nullptr;
    withGrowingBuffer(buffer, [&](char *b, std::size_t n) { return getpwnam_r(login.c_str(), &record, b, n, &found); });
    return found ? std::optional<passwd>(record) : std::nullopt;
}

std::optional<passwd> userRecord(uid_t uid, std::vector<char> &buffer)
{
    passwd record{};
    passwd *found = nullptr;
    withGrowingBuffer(buffer, [&](char *b, std::size_t n) { return getpwuid_r(uid, &record, b, n, &found); });
    return found ? std::optional<passwd>(record) : std::nullopt;
}

std::optional<gid_t> groupId(const std::string &name)
{
    std::vector<char> buffer;
    group record{};
    group *found = nullptr;
    withGrowingBuffer(buffer, [&](char *b, std::size_t n) { return getgrnam_r(name.c_str(), &record, b, n, &found); });
    return found ? std::optional<gid_t>(record.gr_gid) : std::nullopt;
}

} // namespace

std::string canonicalLogin(const std::string &login)
{
    std::vector<char> byName, byId;
    const std::optional<passwd> named = userRecord(login, byName);
    if (!named)
        return login;
    const std::optional<passwd> account = userRecord(named->pw_uid, byId);
    return account && account->pw_name && *account->pw_name ? std::string(account->pw_name) : login;
}

namespace {

struct GroupsRead {
    bool told = false;   // the account, its groups and at least one fiscal group were found
    std::optional<Role> role;
};

GroupsRead readGroups(const std::string &typed)
{
    // The groups list the account's own name, whatever spelling was typed.
    const std::string login = canonicalLogin(typed);
    std::vector<char> buffer;
    const std::optional<passwd> pw = userRecord(login, buffer);
    if (!pw)
        return {};
    std::vector<gid_t> groups(64);
    int n = int(groups.size());
    if (getgrouplist(login.c_str(), pw->pw_gid, groups.data(), &n) < 0) {
        groups.resize(std::size_t(n));
        if (getgrouplist(login.c_str(), pw->pw_gid, groups.data(), &n) < 0)
            return {};
    }
    groups.resize(std::size_t(n));
    GroupsRead read;
    for (Role r : {Role::Consulta, Role::Operador, Role::Administrador}) {
        const std::optional<gid_t> g = groupId(std::string("fiscal-") + roleName(r));
        if (!g)
            continue;
        read.told = true;
        for (gid_t id : groups)
            if (id == *g)
                read.role = r;
    }
    return read;
}

} // namespace

std::optional<Role> roleFromGroups(const std::string &typed)
{
    return readGroups(typed).role;
}

std::optional<Role> roleNowOr(const std::string &login, Role current)
{
    const GroupsRead read = readGroups(login);
    return read.told ? read.role : std::optional<Role>(current);
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
