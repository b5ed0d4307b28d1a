// The credential of zeltod's SDK and application-server ports: a secret text kept in a file
// that only the server's administrator (and the programs it trusts) can read. Every call
// except the client login carries it in the metadata entry kCredentialHeader.
//
// File format: the secret on the first line (printable ASCII without blanks, 16 to 1024
// characters); a trailing line end is ignored.
#ifndef NORVANE_ZELTO_CREDENTIAL_H_
#define NORVANE_ZELTO_CREDENTIAL_H_

#include <sys/types.h>

#include <string>

namespace zelto {

inline constexpr const char kCredentialHeader[] = "x-zelto-credential";

// Reads the secret of an existing credential file. False with a reason in *error (which
// never holds the secret) when the file cannot be read or holds no usable secret.
bool ReadCredential(const std::string& path, std::string* secret, std::string* error);

// A group allowed to read the server's credential file (zeltod --credential-group).
struct CredentialGroup {
  std::string name;
  gid_t gid = 0;
};

// The server's side: reads the file, or creates it with a new random secret when it does
// not exist: mode 0600, or 0640 with `group` as its group when one is given. *created tells
// which. An existing file is refused when it is not a regular file, when its owner is
// neither this process's user nor root, or when anyone but its owner may write it or read
// it, except `group` reading it; a file of this process's user that `group` cannot read
// yet is given that group and mode 0640.
bool LoadOrCreateCredential(const std::string& path, std::string* secret, bool* created,
                            std::string* error, const CredentialGroup* group = nullptr);

// Wipes a secret (or a password) held in memory, with OPENSSL_cleanse, and empties it.
void WipeCredential(std::string* secret);

}  // namespace zelto

#endif  // NORVANE_ZELTO_CREDENTIAL_H_
