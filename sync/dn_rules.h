// How directory distinguished names become department names and paths on the IM server.
// Pure text functions; the engine hands in its search bases and configured domain
// controllers.
//
// A DN is split into its components only at commas that end a component: a comma escaped
// with a backslash belongs to the value, and so does a comma that is not followed by an
// attribute type and "=" (a DN whose backslashes were already dropped, such as
// "CN=Smith, John,OU=Sales,DC=corp"), so that such an entry still finds its real parent.
#ifndef NORVANE_SYNC_DN_RULES_H_
#define NORVANE_SYNC_DN_RULES_H_

#include <string>
#include <string_view>
#include <vector>

#include "config/records.h"
#include "directory/dn_text.h"

namespace norvane {

// The components of a DN as they stand (escapes kept), left to right.
std::vector<std::string_view> SplitDn(std::string_view dn);

// The text after the first component of a DN (its parent DN); empty when there is none.
std::string ParentDn(std::string_view dn);

// The department name the IM server is given for a directory name (an OU value unescaped,
// a group's CN): the server's path separator "\" cannot stand in a department name, so
// every "\" becomes "/" ("R\D" is the department "R/D", a department of its own, not "D"
// below "R"), and the name is cut to the server's 255 bytes at a character boundary.
// Every DN-to-name and DN-to-path rule below goes through it.
std::string DeptNameOf(std::string_view directory_name);

// A value escaped for a DN component: ',', '+', '"', '\\', '<', '>', ';', '=' get a
// backslash, and so do a leading '#' or blank and a trailing blank.
std::string EscapeDnValue(std::string_view value);

// The display name of a department DN: the value of its first OU component; without one,
// the dotted domain of its DC components (dc=corp,dc=example,dc=com gives
// corp.example.com); with neither, empty. Either is given as DeptNameOf makes it. Of a ";"-joined
// list of bases only the first counts. Texts of 3 bytes or fewer give an empty name.
std::string DnToDeptName(std::string_view dn);

// The IM server path of a DN: the OU values between the search base and the DN, from the
// top, each made a name by DeptNameOf and followed by "\", in ASCII upper case
// (OU=Sales,OU=HQ,DC=corp,DC=com under DC=corp,DC=com gives HQ\SALES\). The base is the first of
// `bases` whose text occurs in the DN after its start; the base itself and a DN under no base give
// "". A configured domain controller whose DN lies inside the relative part stands for a department
// named after its dotted domain.
std::string DnToDeptPath(std::string_view dn, const std::vector<std::string>& bases,
                         const std::vector<DcEntry>& dc_list);

// DnToDeptPath with the names as the directory writes them, for creating departments.
std::string DnToDeptPathAsNamed(std::string_view dn, const std::vector<std::string>& bases,
                                const std::vector<DcEntry>& dc_list);

// True when the components of `part` stand in `dn` as a run of whole components, compared as
// DN keys: OU=Sales,DC=corp is inside OU=A,OU=Sales,DC=corp,DC=com, OU=Sale is not.
bool DnContains(std::string_view dn, std::string_view part);

// The number of "=" in text: the depth of a DN, parents before children.
int DnDepth(std::string_view text);

// ASCII upper case; other bytes as they are.
std::string ToUpperAscii(std::string_view text);

// The lookup key of a DN or department key: blanks trimmed as the directory does, ASCII
// lower case, so that keys that differ in case or blanks only meet.
std::string DnKey(std::string_view dn);

}  // namespace norvane

#endif  // NORVANE_SYNC_DN_RULES_H_
