// Reading the IM server's list answers. The listing operations themselves are members of
// CLdapConfig (config/ldap_config.h).
#ifndef NORVANE_CONFIG_ORGANISATION_H_
#define NORVANE_CONFIG_ORGANISATION_H_

#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// The Name attributes of the `item` children of an answer whose document element is
// `list` ("Departments"/"Department", "Users"/"User"), in answer order. Element names
// compare ignoring ASCII case and other children are skipped; an answer that does not parse
// or has another document element gives nothing.
std::vector<std::string> ParseNameList(std::string_view answer, std::string_view list,
                                       std::string_view item);

}  // namespace norvane

#endif  // NORVANE_CONFIG_ORGANISATION_H_
