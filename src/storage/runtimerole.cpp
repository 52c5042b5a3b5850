// The runtime role of a PostgreSQL deployment: the servers connect with it, the schema's
// owner migrates. It reads and writes the application's rows and nothing else, so that a
// server, or whoever took one over, can neither change a table nor empty one at a stroke.

#include "storage/database.h"
#include "storage/migrationlock.h"

#include <string>
#include <vector>

namespace fiscal::storage {

namespace {

// The names this program grants to: unquoted PostgreSQL identifiers, which stay as they are.
bool plainRoleName(const std::string &role)
{
    if (role.empty() || role.size() > 63 || (role[0] >= '0' && role[0] <= '9'))
        return false;
    for (const char ch : role) {
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_'))
            return false;
    }
    return true;
}

std::string text(Statement &st, int column)
{
    return std::string(st.text(column));
}

struct Relation {
    std::string name;   // quoted, with its schema
    std::string kind;   // "TABLE" or "SEQUENCE"
    std::string has;    // the role's own privileges on it, sorted, comma-separated
    std::string wants;
};

} // namespace

void grantRuntimeRole(Connection &c, const std::string &role)
{
    if (c.backend() != Backend::Postgres)
        throw Error(Error::Kind::Other, "database roles exist only on PostgreSQL");
    if (!plainRoleName(role))
        throw Error(Error::Kind::Other, "'" + role + "' is not a plain role name (lower-case letters, digits and _)");
    {
        auto st = c.prepare("SELECT rolsuper, rolname = current_user FROM pg_roles WHERE rolname = $1");
        st->bind(1, role);
        if (!st->step())
            throw Error(Error::Kind::Other, "role " + role + " does not exist: CREATE ROLE " + role + " LOGIN");
        if (st->text(0) == "t")
            throw Error(Error::Kind::Other, "role " + role + " is a superuser, which may do anything: the servers"
                                            " need a role of their own without it");
        if (st->text(1) == "t")
            throw Error(Error::Kind::Other, "role " + role + " owns the schema, which may change or drop any table:"
                                            " the servers need a role of their own");
    }

    // Two migrate runs finishing together would read the same missing grants, and the second
    // REVOKE on a table the first is changing fails ("tuple concurrently updated").
    const MigrationLock turn(c, MigrationLimits{}.otherMigrationWait);
    Transaction t(c);
    std::vector<std::string> grants;
    {
        auto st = c.prepare(
            "SELECT has_database_privilege($1, current_database(), 'CONNECT')"
            "   AND has_database_privilege($1, current_database(), 'TEMPORARY'),"
            " has_schema_privilege($1, current_schema(), 'USAGE'),"
            " quote_ident(current_database()), quote_ident(current_schema())");
        st->bind(1, role);
        st->step();
        // The writes stage their keys in temporary tables.
        if (st->text(0) != "t")
            grants.push_back("GRANT CONNECT, TEMPORARY ON DATABASE " + text(*st, 2) + " TO " + role);
        if (st->text(1) != "t")
            grants.push_back("GRANT USAGE ON SCHEMA " + text(*st, 3) + " TO " + role);
    }
    std::vector<Relation> relations;
    {
        auto st = c.prepare(
            "SELECT quote_ident(n.nspname) || '.' || quote_ident(c.relname),"
            " CASE c.relkind WHEN 'S' THEN 'SEQUENCE' ELSE 'TABLE' END,"
            " COALESCE((SELECT string_agg(a.privilege_type, ',' ORDER BY a.privilege_type)"
            "           FROM aclexplode(c.relacl) a WHERE a.grantee = r.oid), ''),"
            " CASE WHEN c.relkind = 'S' THEN 'USAGE' WHEN c.relname = 'versaoesquema' THEN 'SELECT'"
            "      ELSE 'DELETE,INSERT,SELECT,UPDATE' END"
            " FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace JOIN pg_roles r ON r.rolname = $1"
            " WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'S')"
            "   AND c.relowner = (SELECT oid FROM pg_roles WHERE rolname = current_user)"
            " ORDER BY 1");
        st->bind(1, role);
        while (st->step())
            relations.push_back({text(*st, 0), text(*st, 1), text(*st, 2), text(*st, 3)});
    }
    for (const Relation &r : relations) {
        if (r.has == r.wants)
            continue;
        grants.push_back("REVOKE ALL ON " + r.kind + " " + r.name + " FROM " + role);
        grants.push_back("GRANT " + r.wants + " ON " + r.kind + " " + r.name + " TO " + role);
    }
    for (const std::string &sql : grants)
        c.exec(sql);
    t.commit();

    // Tables of another owner (made by --init as a superuser, say) are not this role's to
    // grant on: said, rather than a migration that reports the servers' rights given while
    // every instance then stops at its first read.
    auto st = c.prepare(
        "SELECT string_agg(quote_ident(c.relname), ', ' ORDER BY c.relname), pg_get_userbyid(c.relowner)"
        " FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
        " WHERE n.nspname = current_schema() AND c.relkind IN ('r', 'p', 'S')"
        "   AND c.relowner <> (SELECT oid FROM pg_roles WHERE rolname = current_user)"
        "   AND NOT CASE WHEN c.relkind = 'S' THEN has_sequence_privilege($1, c.oid, 'USAGE')"
        "                WHEN c.relname = 'versaoesquema' THEN has_table_privilege($1, c.oid, 'SELECT')"
        "                ELSE has_table_privilege($1, c.oid, 'SELECT') AND has_table_privilege($1, c.oid, 'INSERT')"
        "                 AND has_table_privilege($1, c.oid, 'UPDATE') AND has_table_privilege($1, c.oid, 'DELETE') END"
        " GROUP BY c.relowner ORDER BY 2 LIMIT 1");
    st->bind(1, role);
    if (st->step()) {
        const std::string owner = text(*st, 1);
        throw Error(Error::Kind::Other, "role " + role + " cannot be given the rows of " + text(*st, 0)
                                            + ": they belong to role " + owner
                                            + ", not to the role running this. Run migrate as " + owner
                                            + ", or make the schema's owner own them (ALTER TABLE ... OWNER TO)");
    }
}

} // namespace fiscal::storage
