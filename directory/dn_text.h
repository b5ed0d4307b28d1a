// The directory's search filters and the small DN text functions. Pure functions.
#ifndef NORVANE_DIRECTORY_DN_TEXT_H_
#define NORVANE_DIRECTORY_DN_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace norvane {

// Full-import filters, by server type and what is searched.
inline constexpr char kAdUserFilter[] =
    "(&(objectClass=user)(objectCategory=person)(SamAccountName=*))";
inline constexpr char kLdapUserFilter[] = "(&(|(objectClass=user)(objectClass=person))(uid=*))";
inline constexpr char kAdOuFilter[] =
    "(&(objectCategory=OrganizationalUnit)(objectClass=organizationalUnit)(ou=*))";
inline constexpr char kLdapOuFilter[] = "(&(objectClass=organizationalUnit)(ou=*))";
inline constexpr char kAdGroupFilter[] = "(&(objectCategory=Group)(objectClass=Group)(cn=*))";
inline constexpr char kLdapGroupFilter[] =
    "(&(|(objectClass=groupOfNames)(objectClass=groupOfUniqueNames))(cn=*))";

// The user filter of a full import: "" for an unknown server type.
std::string UserFilter(int server_type);
// The department filter of a full import; dept_mode > 0 means departments from groups.
std::string DeptFilter(int server_type, int dept_mode);
// The change filter of an incremental update (Active Directory only):
// "(&(!objectClass=computer)(uSNChanged>=N))" for dept_mode <= 0, "(uSNChanged>=N)" else.
std::string ChangeFilter(int dept_mode, std::int64_t previous_high_usn);

// Filters built from a value; the value is escaped (EscapeFilterValue), so an account such as
// "*" or "a)(uid=*" matches only itself.
// "(&(objectClass=user)(objectCategory=person)(SamAccountName=<account>))"
std::string UserByAccountFilter(std::string_view account);
// "sAMAccountName=<account>", the filter for FindAccountDn.
std::string AccountFilter(std::string_view account);
// "<attribute>=<value>".
std::string EqualityFilter(std::string_view attribute, std::string_view value);

// The filter with every negation of a bare item, "(!objectClass=computer)", written as RFC
// 4515 wants it, "(!(objectClass=computer))". Active Directory takes the short form; libldap
// refuses it. Everything else is left as it stands.
std::string RepairFilter(std::string_view filter);

// RFC 4515 escaping of a value inside a filter: '*', '(', ')', '\' and NUL become \2a, \28,
// \29, \5c and \00. Other bytes, multi-byte characters included, pass unchanged.
std::string EscapeFilterValue(std::string_view value);

// One attribute value of a DN with its escapes resolved: "\," "\+" "\\" ... give the
// character, "\XX" hex pairs the byte they name ("Smith\, John" gives "Smith, John",
// "\E5\8C\97" the UTF-8 bytes of one character). A lone trailing backslash is kept.
std::string UnescapeDnValue(std::string_view value);

// The text with every '\' byte dropped (Active Directory values and DNs are stored so).
std::string StripBackslashes(std::string_view text);

// The text after the first unescaped ',' of `dn` (blanks after it are kept). A comma after
// a backslash belongs to the value (CN=Smith\, John), and so does one inside a quoted
// value. Returns false and leaves `parent` as it was when `dn` has no separating comma.
bool ParentDnOf(std::string_view dn, std::string& parent);
// ParentDnOf, or "" when there is no parent.
std::string ParentDnOrEmpty(std::string_view dn);

// The name of the OU a DN names: the text after "ou=" (or, failing that, "OU=") up to the
// first `delimiter` after it, or to the end. With "," as delimiter an escaped comma does not
// end the name, and the name is returned unescaped (OU=Sales\, East,... gives "Sales, East").
// With "\" (a tombstone's "OU=Sales\0ADEL:guid,...") the name ends at the first backslash.
// "" when the DN has no OU component.
std::string OuNameOf(std::string_view dn, std::string_view delimiter);

// "dc=corp,dc=example,dc=com" gives "corp.example.com" (ASCII case folded); "" without dc=.
std::string DnsNameOfDn(std::string_view dn);

}  // namespace norvane

#endif  // NORVANE_DIRECTORY_DN_TEXT_H_
