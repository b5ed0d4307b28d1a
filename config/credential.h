// Protection of the directory administrator's password stored in LdapConfig.xml (the SN
// attributes). The stored form is upper-case hexadecimal, no separators.
#ifndef NORVANE_CONFIG_CREDENTIAL_H_
#define NORVANE_CONFIG_CREDENTIAL_H_

#include <string>
#include <string_view>

namespace norvane {

// The stored form of `clear`. The clear text is cut to the 31 bytes a record holds (at a
// character boundary) before it is protected, so what is saved always loads back whole.
// An empty clear text gives an empty stored form. False, with `stored` empty, only when
// the cipher cannot run (for example no random source).
bool EncryptPassword(std::string_view clear, std::string& stored);

// Replaces the stored form in `text` by its clear text and returns true. Input that does
// not decipher (not hexadecimal, odd length, too short, wrong key or tag) is left
// unchanged and false is returned: the caller then takes the text itself as the password.
// Lower-case hexadecimal reads like upper case. An empty text is left empty (true).
bool DecryptPassword(std::string& text);

// Overwrites a password (or any secret) held in memory in a way the compiler keeps, the
// whole buffer and not only the current text, then empties the text.
void WipePassword(std::string& text);

}  // namespace norvane

#endif  // NORVANE_CONFIG_CREDENTIAL_H_
